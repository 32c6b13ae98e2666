#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Modal file and folder dialogs and small file utilities for the interface, and the
// place where certificate documents are filed. Paths from the interface may arrive as
// "file://" URLs or as plain paths; every operation takes both.
class FileDialogHelper : public QObject
{
    Q_OBJECT

public:
    explicit FileDialogHelper(QObject *parent = nullptr);

    // The dialogs are the framework's own, so they look and behave the same everywhere
    // and can be driven in tests; each blocks until closed and returns "" when cancelled.
    Q_INVOKABLE QString saveFile(const QString &title, const QString &suggestedName,
                                 const QString &filter = QStringLiteral("All files (*)"),
                                 const QString &defaultSuffix = QString(),
                                 const QString &directory = QString());
    Q_INVOKABLE QString openFile(const QString &title,
                                 const QString &filter = QStringLiteral("All files (*)"));
    Q_INVOKABLE QString chooseDirectory(const QString &title, const QString &startDir = QString());

    Q_INVOKABLE QString downloadsDir() const;
    Q_INVOKABLE QString certificationsRootQml() const;
    Q_INVOKABLE QString certificationsDirForSerialQml(const QString &sn) const;
    Q_INVOKABLE QString detectGoogleDriveCertificationsRootQml() const;
    // The folder a technician chose for certificates ("" = found automatically). Setting
    // "" clears it; false when the settings store could not be written.
    Q_INVOKABLE QString certificationsRootOverride() const;
    Q_INVOKABLE bool setCertificationsRootOverride(const QString &folder);

    Q_INVOKABLE QByteArray readFile(const QString &url) const;
    Q_INVOKABLE bool writeFile(const QString &url, const QByteArray &data) const;
    Q_INVOKABLE QString basenameWithoutExt(const QString &url) const;
    Q_INVOKABLE QString fileName(const QString &url) const;
    Q_INVOKABLE qlonglong fileSize(const QString &url) const;
    Q_INVOKABLE QString protocolNameFromFile(const QByteArray &csvData) const;

    // The folder logic without an instance, for the certificate writers.
    static QString toLocalPath(const QString &url);
    static QString userDownloadsDir();
    static QString certificationsRoot();
    static QString detectGoogleDriveCertificationsRoot();
    static QString certificationsDirForSerial(const QString &serial, bool inCertificationsRoot);
};
