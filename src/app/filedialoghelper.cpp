#include "app/filedialoghelper.h"

#include "formats/splparser.h"
#include "storage/wholefile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>


namespace {

const QString SharedDriveRelativePath = QStringLiteral(
    "Shared drives/Vellora Share/Manufacturing/Certification Sheets/Nerra Certifications");
const QString SharedDriveLetters = QStringLiteral("GHIJKLMNOPQRSTUVWXYZ");
const QString RootDirKey = QStringLiteral("Certifications/rootDir");
constexpr int NameCommentLines = 20;

bool isFolder(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

QString createdFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    QDir().mkpath(clean);
    return clean;
}

QString documentsFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return documents.isEmpty() ? QDir::homePath() + QStringLiteral("/Documents") : documents;
}

// A serial number comes from the instrument or from a text field: it may only ever name
// one folder directly under the certificate root, never a path of its own.
QString folderNameForSerial(const QString &serial)
{
    // Besides separators, the characters Windows refuses in a folder name (":" would even
    // name an alternate data stream), and trailing dots or spaces, which Windows drops.
    static const QString Refused = QStringLiteral("/\\:*?\"<>|");
    QString name = serial;
    for (QChar &c : name) {
        if (Refused.contains(c) || c.unicode() < 0x20)
            c = QLatin1Char('_');
    }
    for (int i = name.size() - 1; i >= 0; --i) {
        if (name.at(i) != QLatin1Char('.') && name.at(i) != QLatin1Char(' '))
            break;
        name[i] = QLatin1Char('_');
    }
    return name;
}

QString nameFilter(const QString &filter)
{
    return filter.isEmpty() ? QStringLiteral("All files (*)") : filter;
}

QString runDialog(QFileDialog &dialog)
{
    // The framework's own dialog on every platform: the look stays ours and tests can
    // drive it.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

} // namespace

FileDialogHelper::FileDialogHelper(QObject *parent) : QObject(parent) {}

QString FileDialogHelper::saveFile(const QString &title, const QString &suggestedName,
                                   const QString &filter, const QString &defaultSuffix,
                                   const QString &directory)
{
    QFileDialog dialog(nullptr, title);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(nameFilter(filter));
    if (!defaultSuffix.isEmpty())
        dialog.setDefaultSuffix(defaultSuffix);
    if (!directory.isEmpty())
        dialog.setDirectory(toLocalPath(directory));
    if (!suggestedName.isEmpty())
        dialog.selectFile(suggestedName);
    return runDialog(dialog);
}

QString FileDialogHelper::openFile(const QString &title, const QString &filter)
{
    QFileDialog dialog(nullptr, title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(nameFilter(filter));
    return runDialog(dialog);
}

QString FileDialogHelper::chooseDirectory(const QString &title, const QString &startDir)
{
    QFileDialog dialog(nullptr, title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    const QString start = toLocalPath(startDir);
    if (isFolder(start))
        dialog.setDirectory(start);
    return runDialog(dialog);
}

QString FileDialogHelper::downloadsDir() const
{
    return userDownloadsDir();
}

QString FileDialogHelper::certificationsRootQml() const
{
    return certificationsRoot();
}

QString FileDialogHelper::certificationsDirForSerialQml(const QString &sn) const
{
    return certificationsDirForSerial(sn, true);
}

QString FileDialogHelper::detectGoogleDriveCertificationsRootQml() const
{
    return detectGoogleDriveCertificationsRoot();
}

QByteArray FileDialogHelper::readFile(const QString &url) const
{
    QFile file(toLocalPath(url));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool FileDialogHelper::writeFile(const QString &url, const QByteArray &data) const
{
    // A full disk or a quota must not leave a half-written protocol behind a "saved":
    // the old file stays until every byte of the new one is on disk.
    return WholeFile::write(toLocalPath(url), data) == WholeFile::Written;
}

QString FileDialogHelper::basenameWithoutExt(const QString &url) const
{
    return QFileInfo(toLocalPath(url)).completeBaseName();
}

QString FileDialogHelper::fileName(const QString &url) const
{
    return QFileInfo(toLocalPath(url)).fileName();
}

qlonglong FileDialogHelper::fileSize(const QString &url) const
{
    const QFileInfo info(toLocalPath(url));
    return info.exists() ? info.size() : 0;
}

QString FileDialogHelper::protocolNameFromFile(const QByteArray &csvData) const
{
    static const QString Prefixes[] = {QStringLiteral("protocol name:"), QStringLiteral("name:")};
    int start = 0;
    for (int lineNumber = 0; lineNumber < NameCommentLines && start <= csvData.size(); ++lineNumber) {
        int end = csvData.indexOf('\n', start);
        if (end < 0)
            end = csvData.size();
        const QString line = QString::fromUtf8(csvData.constData() + start, end - start).trimmed();
        start = end + 1;
        if (!line.startsWith(QLatin1Char('#')))
            continue;
        const QString comment = line.mid(1).trimmed();
        for (const QString &prefix : Prefixes) {
            if (!comment.startsWith(prefix, Qt::CaseInsensitive))
                continue;
            const QString name = SplParser::printableName(comment.mid(prefix.size()));
            if (!name.isEmpty())
                return name;
        }
    }
    return QString();
}

QString FileDialogHelper::toLocalPath(const QString &url)
{
    if (url.startsWith(QLatin1String("file://")))
        return QUrl(url).toLocalFile();
    return url;
}

QString FileDialogHelper::userDownloadsDir()
{
    return createdFolder(QDir::homePath() + QStringLiteral("/Downloads"));
}

QString FileDialogHelper::certificationsRootOverride() const
{
    return QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop")).value(RootDirKey).toString();
}

bool FileDialogHelper::setCertificationsRootOverride(const QString &folder)
{
    QSettings settings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"));
    const QString local = toLocalPath(folder);
    if (local.isEmpty())
        settings.remove(RootDirKey);
    else
        settings.setValue(RootDirKey, QDir::cleanPath(local));
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qWarning() << "FileDialogHelper: could not store the certificate folder" << local;
        return false;
    }
    return true;
}

QString FileDialogHelper::certificationsRoot()
{
    const QString configured =
        QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop")).value(RootDirKey).toString();
    if (isFolder(configured))
        return QDir::cleanPath(configured);
    const QString sharedDrive = detectGoogleDriveCertificationsRoot();
    if (!sharedDrive.isEmpty())
        return sharedDrive;
    return createdFolder(documentsFolder() + QStringLiteral("/Nerra Certifications"));
}

QString FileDialogHelper::detectGoogleDriveCertificationsRoot()
{
    QStringList candidates;
    for (const QChar letter : SharedDriveLetters)
        candidates << QStringLiteral("%1:/").arg(letter) + SharedDriveRelativePath;
    candidates << QDir::homePath() + QStringLiteral("/Google Drive/") + SharedDriveRelativePath;
    for (const QString &candidate : qAsConst(candidates)) {
        // Where drive letters do not exist "G:/..." is a relative path, which would
        // find whatever lies below the current folder.
        if (QDir::isAbsolutePath(candidate) && isFolder(candidate))
            return QDir::cleanPath(candidate);
    }
    return QString();
}

QString FileDialogHelper::certificationsDirForSerial(const QString &serial, bool inCertificationsRoot)
{
    if (!inCertificationsRoot)
        return userDownloadsDir();
    const QString root = certificationsRoot();
    if (serial.isEmpty())
        return root;
    return createdFolder(root + QLatin1Char('/') + folderNameForSerial(serial));
}
