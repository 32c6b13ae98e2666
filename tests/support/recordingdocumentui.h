#pragma once

#include "documents/documentui.h"

#include <QStringList>

// Stands in for the save dialog (answering with `answer`, "" cancels) and the viewer,
// and remembers what a certificate writer proposed and opened.
struct RecordingDocumentUi : DocumentUi
{
    QString answer;
    QString proposed;
    QStringList opened;
    QString askSavePath(const QString &, const QString &proposedPath, const QString &) override
    {
        proposed = proposedPath;
        return answer;
    }
    bool openDocument(const QString &path) override
    {
        opened.append(path);
        return true;
    }
};
