#pragma once

#include <QString>
#include <QVariantMap>

#include "documents/certificatewriter.h"

// The one-page calibration certificate: the values the calibration panel gathered, laid
// out as HTML and printed to a Letter-size PDF that is written whole or not at all.
class CalibrationPdf : public CertificateWriter
{
    Q_OBJECT

public:
    explicit CalibrationPdf(QObject *parent = nullptr);

    // Asks where to save, writes, opens. False when cancelled or not written.
    Q_INVOKABLE bool generate(const QVariantMap &data);
    // False when the path is empty or the file could not be written (nothing is left then).
    Q_INVOKABLE bool generateToFile(const QVariantMap &data, const QString &filePath);

    QString buildHtml(const QVariantMap &data) const;
    static QString proposedFileName(const QVariantMap &data);
};
