#pragma once

#include <QMarginsF>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "documents/documentui.h"

#include <functional>

class MfgManager;

// What every certificate writer shares: the default folder by serial number, the save
// dialog and the viewer behind the DocumentUi seam, the file-name rules, and the one-page
// PDF rendered in memory and written whole or not at all.
class CertificateWriter : public QObject
{
    Q_OBJECT

public:
    explicit CertificateWriter(QObject *parent = nullptr);

    void setMfgManager(MfgManager *mfgManager);   // not owned; decides the default folder
    void setDocumentUi(DocumentUi *ui);           // not owned; nullptr = the dialogs and viewer

    // A text that may go into a file name as it is: no folders, no drive letters.
    static QString fileNamePart(const QString &text);

    static QString text(const QVariantMap &data, const char *key);
    // Every value comes from outside (the instrument, a field): shown as text, never as markup.
    static QString shown(const QString &value);
    // The maker and its postal address, as every certificate ends.
    static QString footerHtml();
    // The logo, the title and the rule under it.
    static QString headingHtml(const QString &title);
    // A section title over a table of label rows.
    static QString labelSection(const QString &title, const QString &rows);
    static QString labelRow(const QString &label, const QString &valueHtml);
    // "Environmental Conditions": humidity, both temperatures in `temperatureUnit`,
    // pressure and the Z factor.
    static QString environmentHtml(const QVariantMap &data, const QString &temperatureUnit);

protected:
    struct Page
    {
        QString title;        // the PDF's metadata title
        QMarginsF margins;    // millimetres
        QString logPrefix;    // "CAL PDF:"
    };

    // Proposes `fileName` in the serial number's folder, writes the chosen path with
    // `write` and opens it. False when cancelled or not written.
    bool saveAndOpen(const QString &serial, const QString &fileName, const QString &dialogTitle,
                     const std::function<bool(const QString &)> &write);
    // False when the path is empty or the file could not be written whole (an earlier
    // file there is left as it was).
    static bool writePdf(const QString &html, const QString &path, const Page &page);

private:
    DocumentUi *ui() { return m_ui ? m_ui : &m_defaultUi; }

    MfgManager *m_mfgManager = nullptr;
    DocumentUi *m_ui = nullptr;
    DocumentUi m_defaultUi;
};
