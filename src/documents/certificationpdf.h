#pragma once

#include <QString>
#include <QVariantMap>

#include "documents/certificatewriter.h"

// The one-page Certificate of Quality Assurance that goes out with an instrument: its
// identity, the test conditions, the overall verdict and each calibration point's
// accuracy and precision as the workbook import computed them.
class CertificationPdf : public CertificateWriter
{
    Q_OBJECT

public:
    explicit CertificationPdf(QObject *parent = nullptr);

    // Asks where to save, writes, opens. False when cancelled or not written.
    Q_INVOKABLE bool generate(const QVariantMap &data);
    // False when the path is empty or the file could not be written (nothing is left then).
    Q_INVOKABLE bool generateToFile(const QVariantMap &data, const QString &filePath);

    QString buildHtml(const QVariantMap &data) const;
    static QString proposedFileName(const QVariantMap &data);
};
