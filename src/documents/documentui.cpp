#include "documents/documentui.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

QString DocumentUi::askSavePath(const QString &title, const QString &proposedPath, const QString &filter)
{
    return QFileDialog::getSaveFileName(nullptr, title, proposedPath, filter);
}

bool DocumentUi::openDocument(const QString &localPath)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(localPath));
}
