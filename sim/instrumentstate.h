#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

// Everything a simulated instrument remembers: identity, protocol files, calibration,
// preferences, the QA certificate and the firmware slots. Its USB side (and later its
// Bluetooth LE side) are front-ends over one such state, so one simulated instrument
// shows the same hardware id and files on every link. The state lives in memory, or in a
// folder it is given, where every change is written at once.
class InstrumentState : public QObject
{
    Q_OBJECT

public:
    static constexpr int CoefficientCount = 8;
    // Largest firmware image the update slot takes.
    static constexpr int MaxImageSize = 4 * 1024 * 1024;

    // The calibration record's keys, in coefficient index order.
    static QStringList coefficientKeys();
    // The longest file name, in UTF-8 bytes, the instrument's file system takes.
    static constexpr int MaxFileNameBytes = 255;

    // File names that stay inside the instrument's file folder and fit on one line of the
    // protocol: any UTF-8 text without "/", "\\" or control characters, other than "." and "..".
    static bool isValidFileName(const QString &name);

    explicit InstrumentState(QObject *parent = nullptr);

    // Reads the state kept in folder (created when missing) and writes every later change
    // there. False when the folder cannot be used; the state then stays in memory.
    bool setStorageFolder(const QString &folder);
    QString storageFolder() const { return m_folder; }

    QString hardwareId() const { return m_hardwareId; }
    void setHardwareId(const QString &id);
    QString name() const { return m_name; }
    QString serialNumber() const { return m_serialNumber; }
    int color() const { return m_color; }
    QString ssid() const { return m_ssid; }
    QString calibrationDate() const { return m_calDate; }

    // Preferences: "name", "sn", "ssid", "password", "color", "calDate" and any other key.
    QVariantMap preferences() const;
    bool setPreference(const QString &key, const QString &value, QString *error = nullptr);

    QStringList fileNames() const { return m_files.keys(); }
    bool hasFile(const QString &name) const { return m_files.contains(name); }
    QByteArray file(const QString &name) const { return m_files.value(name); }
    bool putFile(const QString &name, const QByteArray &contents, QString *error = nullptr);
    bool removeFile(const QString &name);

    QVector<double> coefficients() const { return m_coefficients; }
    bool setCoefficient(int index, double value);
    QVariantMap calibrationRecord() const;

    bool hasCertificate() const { return !m_certificateRecord.isEmpty(); }
    QString certificateRecord() const { return m_certificateRecord; }
    QString certificateFile() const { return m_certificateFile; }
    void setCertificateRecord(const QString &recordJson);
    void setCertificateFile(const QString &base64);
    void clearCertificate();

    // Firmware: the running image's version and USB update support (0: none), whether it
    // has been confirmed, and the image staged by an update for the next start.
    QString firmwareVersion() const { return m_firmware.version; }
    int otaUsbVersion() const { return m_firmware.otaUsb; }
    bool imageConfirmed() const { return m_imageConfirmed; }
    QString previousFirmwareVersion() const { return m_previousFirmware.version; }
    bool hasStagedImage() const { return m_hasStagedImage; }
    void setFirmware(const QString &version, int otaUsbVersion);
    // Reads the version and USB update support an image declares about itself.
    static void describeImage(const QByteArray &image, QString *version, int *otaUsbVersion);
    void stageImage(const QByteArray &image);
    void confirmImage();

    enum class BootOutcome { Normal, NewImage, RolledBack };
    // A restart: a staged image starts unconfirmed (unless it predates USB updates and so
    // cannot be confirmed); an image still unconfirmed at a restart is replaced by the one
    // before it.
    BootOutcome boot();

    // The identity record sent with "NERRA:READY:".
    QByteArray readyRecord() const;
    // The record answered to "CMD:GET_INFO".
    QByteArray infoRecord() const;

signals:
    void changed();

private:
    struct Firmware
    {
        QString version;
        int otaUsb = 0;
    };

    void commit();
    void load();
    QString filesFolder() const;

    QString m_folder;
    QString m_hardwareId;
    QString m_name;
    QString m_serialNumber;
    int m_color = -1;
    QString m_ssid;
    QString m_password;
    QString m_calDate;
    QVariantMap m_otherPreferences;
    QMap<QString, QByteArray> m_files;
    QVector<double> m_coefficients;
    QString m_certificateRecord;
    QString m_certificateFile;
    Firmware m_firmware;
    Firmware m_previousFirmware;
    Firmware m_stagedFirmware;
    bool m_hasStagedImage = false;
    bool m_imageConfirmed = true;
};
