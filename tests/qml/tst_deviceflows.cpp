// The device list and the Device tab driven through the real QML against the simulated
// instrument on a real pseudo-terminal: the instrument appearing over USB, and its
// protocols.

#include "testmain.h"
#include "uiharness.h"

#include "attachedinstrument.h"
#include "devices/deviceinfo.h"

#include <QSignalSpy>

#include <memory>

namespace {

const QString HardwareId = QStringLiteral("A1B2C3D4E5F6");

} // namespace

class TestDeviceFlows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
        QCoreApplication::setApplicationName(QStringLiteral("Nerra"));
    }
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_ui = std::make_unique<UiHarness>();
    }
    void cleanup()
    {
        m_instrument.reset();
        m_ui.reset();
        m_env.reset();
        qunsetenv("NERRA_USB_CUSTOMER_FACING");
    }

    void instrumentOnUsbIsListedOnceAndSelected_data();
    void instrumentOnUsbIsListedOnceAndSelected();

private:
    bool plugIn()
    {
        m_instrument = std::make_unique<AttachedInstrument>(m_ui->serial);
        m_instrument->state.setHardwareId(HardwareId);
        m_instrument->state.setPreference(QStringLiteral("name"), QStringLiteral("Bench"));
        return m_instrument->connect();
    }
    QStringList cardNames() const
    {
        QStringList names;
        for (QQuickItem *name : m_ui->items(QStringLiteral("deviceCardName")))
            names << name->property("text").toString();
        return names;
    }

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<UiHarness> m_ui;
    std::unique_ptr<AttachedInstrument> m_instrument;
};

void TestDeviceFlows::instrumentOnUsbIsListedOnceAndSelected_data()
{
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("usbOffered");
    QTest::newRow("a new instrument") << false << true;
    QTest::newRow("an instrument known by its hardware id") << true << true;
    QTest::newRow("USB not offered") << false << false;
}

void TestDeviceFlows::instrumentOnUsbIsListedOnceAndSelected()
{
    QFETCH(bool, known);
    QFETCH(bool, usbOffered);
    if (!usbOffered) {
        qputenv("NERRA_USB_CUSTOMER_FACING", "0");
        m_ui = std::make_unique<UiHarness>();
    }
    if (known) {
        auto *record = new DeviceInfo(QStringLiteral("Old name"), QStringLiteral("AA:BB:CC:DD:EE:FF"));
        record->setHardwareId(HardwareId);
        record->setIsPaired(true);
        m_ui->devices.addDevice(record);
    }
    QVERIFY(m_ui->load());
    QCOMPARE(cardNames(), known ? QStringList{"Old name"} : QStringList());

    QVERIFY(plugIn());
    if (!usbOffered) {
        // The link itself was let in by the test; the interface still shows nothing of it.
        m_ui->settle();
        QCOMPARE(m_ui->devices.devices().size(), 0);
        QCOMPARE(cardNames(), QStringList());
        QVERIFY(!m_ui->item(QStringLiteral("usbRow")));
        return;
    }
    // One record, named as the instrument names itself, selected and shown on the Device tab.
    QTRY_COMPARE(cardNames(), QStringList{"Bench"});
    QCOMPARE(m_ui->devices.devices().size(), 1);
    auto *record = qobject_cast<DeviceInfo *>(m_ui->devices.devices().constFirst());
    QCOMPARE(record->hardwareId(), HardwareId);
    QVERIFY(record->lastSeenViaUsb());
    QCOMPARE(record->usbOnly(), !known);
    QTRY_VERIFY(m_ui->item(QStringLiteral("deviceCard"))->property("selected").toBool());
    QTRY_COMPARE(m_ui->item(QStringLiteral("deviceTitle"))->property("text").toString(), QStringLiteral("Bench"));
    QCOMPARE(m_ui->item(QStringLiteral("usbStatusText"))->property("text").toString(), QStringLiteral("Connected"));

    // Unplugged, the record stays, no longer connected.
    m_instrument->usb.unplug();
    QTRY_COMPARE(m_ui->item(QStringLiteral("usbStatusText"))->property("text").toString(),
                 QStringLiteral("No instrument"));
    QCOMPARE(cardNames(), QStringList{"Bench"});
}

NERRA_TEST_MAIN(TestDeviceFlows)
#include "tst_deviceflows.moc"
