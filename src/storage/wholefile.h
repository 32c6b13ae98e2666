#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file with new contents whole or not at all. Every file the program writes
// for the user goes through here, so that a full disk, a quota or a size limit leaves
// the earlier file as it was and is reported as a failure, never as a blank "saved" file.
class WholeFile
{
public:
    enum Option {
        NoOption = 0,
        // Line feeds become the platform's line ends (CR LF on Windows).
        Text = 0x1,
        // Where no temporary file can be made beside the target (a folder that lets the
        // user write the file but not create others), write the target in place. Only
        // then is a failed write able to leave the target cut short.
        DirectWriteFallback = 0x2,
    };
    enum Result { Written, OpenFailed, WriteFailed };

    static Result write(const QString &path, const QByteArray &bytes, int options = NoOption,
                        QString *errorString = nullptr);
};
