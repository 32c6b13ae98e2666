#pragma once

#include <QString>

// Where a certificate writer meets the user: the save dialog and the system's viewer.
// Tests put a stand-in here.
class DocumentUi
{
public:
    virtual ~DocumentUi() = default;
    // The chosen path, or "" when the user cancelled.
    virtual QString askSavePath(const QString &title, const QString &proposedPath, const QString &filter);
    virtual bool openDocument(const QString &localPath);   // default: QDesktopServices::openUrl
};
