#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// The link to one instrument, whichever way it is reached. The interface talks to the
// active link only through these operations and signals, so the panels work the same over
// Bluetooth LE and USB. Each link declares the four properties itself (isConnected,
// isTransferring, transferProgress, statusMessage) with the change signals below.
class DeviceConnection : public QObject
{
    Q_OBJECT

public:
    explicit DeviceConnection(QObject *parent = nullptr)
        : QObject(parent)
    {
    }
    ~DeviceConnection() override = default;

    virtual bool isConnected() const = 0;
    virtual bool isTransferring() const = 0;
    virtual int transferProgress() const = 0;
    virtual QString statusMessage() const = 0;

    Q_INVOKABLE virtual void putProtocol(const QString &filename, const QByteArray &data) = 0;
    Q_INVOKABLE virtual void getProtocol(const QString &filename) = 0;
    Q_INVOKABLE virtual void listProtocols() = 0;
    Q_INVOKABLE virtual void deleteProtocol(const QString &filename) = 0;
    Q_INVOKABLE virtual void getDeviceInfo() = 0;
    Q_INVOKABLE virtual void getCalibration() = 0;
    Q_INVOKABLE virtual void setCalibration(int index, float value) = 0;
    Q_INVOKABLE virtual bool fetchCalibration() = 0;
    Q_INVOKABLE virtual void applyCalibration(const QVariantList &coefPairs, const QString &calDate) = 0;
    Q_INVOKABLE virtual void getPrefs() = 0;
    Q_INVOKABLE virtual void setPref(const QString &key, const QString &value) = 0;
    Q_INVOKABLE virtual void cancelTransfer() = 0;
    Q_INVOKABLE virtual void reboot() = 0;

signals:
    void isConnectedChanged();
    void isTransferringChanged();
    void transferProgressChanged();
    void statusMessageChanged();
    void errorOccurred(const QString &message);
    void transferComplete();
    void transferFailed(const QString &reason);
    void deviceInfoReceived(const QString &name, const QString &serialNumber, const QString &fwVersion);
    void protocolListReceived(const QStringList &methods);
    void protocolReceived(const QString &filename, const QByteArray &data);
    void calibrationReceived(const QVariantMap &coefficients);
    void calibrationApplied(bool success);
    void prefsReceived(const QVariantMap &prefs);
    void setPrefResult(bool success, const QString &key);
    void protocolDeleted(const QString &filename);
};
