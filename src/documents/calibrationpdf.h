#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

#include "documents/documentui.h"

class MfgManager;

// The one-page calibration certificate: the values the calibration panel gathered, laid
// out as HTML and printed to a Letter-size PDF that is written whole or not at all.
class CalibrationPdf : public QObject
{
    Q_OBJECT

public:
    explicit CalibrationPdf(QObject *parent = nullptr);

    void setMfgManager(MfgManager *mfgManager);   // not owned; decides the default folder
    void setDocumentUi(DocumentUi *ui);           // not owned; nullptr = the dialogs and viewer

    // Asks where to save, writes, opens. False when cancelled or not written.
    Q_INVOKABLE bool generate(const QVariantMap &data);
    // False when the path is empty or the file could not be written (nothing is left then).
    Q_INVOKABLE bool generateToFile(const QVariantMap &data, const QString &filePath);

    QString buildHtml(const QVariantMap &data) const;
    static QString proposedFileName(const QVariantMap &data);
    // A text that may go into a file name as it is: no folders, no drive letters.
    static QString fileNamePart(const QString &text);

private:
    DocumentUi *ui() { return m_ui ? m_ui : &m_defaultUi; }

    MfgManager *m_mfgManager = nullptr;
    DocumentUi *m_ui = nullptr;
    DocumentUi m_defaultUi;
};
