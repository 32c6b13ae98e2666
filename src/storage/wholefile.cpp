#include "storage/wholefile.h"

#include <QSaveFile>

WholeFile::Result WholeFile::write(const QString &path, const QByteArray &bytes, int options,
                                   QString *errorString)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(options & DirectWriteFallback);
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    // Unbuffered: Qt 5's QSaveFile remembers only a failure inside write(). Buffered
    // bytes reach the disk in commit(), which ignores a failure there and renames the
    // cut-short temporary file over the target.
    mode |= QIODevice::Unbuffered;
    if (options & Text)
        mode |= QIODevice::Text;
    const auto failed = [&](Result result) {
        if (errorString) {
            *errorString = file.error() != QFileDevice::NoError
                               ? file.errorString()
                               : QStringLiteral("not every byte could be written (is the disk full?)");
        }
        return result;
    };
    if (!file.open(mode))
        return failed(OpenFailed);
    // A short count without an error is how a full disk shows itself part-way through.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const Result result = failed(WriteFailed);
        file.cancelWriting();
        return result;
    }
    if (!file.commit())
        return failed(WriteFailed);
    return Written;
}
