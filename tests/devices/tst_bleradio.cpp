#include "devices/ble/qtbleradiobackend.h"
#include "testmain.h"

#include <QSignalSpy>

#include <memory>

// The real radio on a machine without any Bluetooth: it must say so, promptly, instead of
// reporting a scan that found nothing or never ending.
class TestBleRadio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerBleMetaTypes(); }

    void withoutAdapterScanFailsAtOnce()
    {
        QtBleRadioBackend backend;
        std::unique_ptr<BleAdapter> adapter(backend.createAdapter(nullptr));
        QVERIFY(!adapter->isValid());

        std::unique_ptr<BleDiscovery> discovery(backend.createDiscovery(nullptr));
        QSignalSpy errors(discovery.get(), &BleDiscovery::errorOccurred);
        QSignalSpy finished(discovery.get(), &BleDiscovery::finished);
        QSignalSpy found(discovery.get(), &BleDiscovery::deviceDiscovered);
        discovery->setLowEnergyDiscoveryTimeout(2000);
        discovery->start();
        QVERIFY(errors.count() > 0 || errors.wait(5000));
        const auto error = errors.first().first().value<QBluetoothDeviceDiscoveryAgent::Error>();
        qInfo() << "no adapter:" << adapter->hostMode() << "discovery error" << error << discovery->errorString();
        QVERIFY(error != QBluetoothDeviceDiscoveryAgent::NoError);
        QVERIFY(!discovery->errorString().isEmpty());
        QVERIFY(!discovery->isActive());
        QCOMPARE(finished.count(), 0);
        QCOMPARE(found.count(), 0);
    }
};

NERRA_TEST_MAIN(TestBleRadio)
#include "tst_bleradio.moc"
