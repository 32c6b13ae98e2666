// The simulated instrument's own behaviour that the link tests do not reach otherwise: one
// instrument on both links, the state it keeps for --simulate, and the standalone
// program. Its command answers, faults and firmware update are driven by the link and
// updater tests.

#include "testmain.h"
#include "tst_serialmanager_fixture.h"

#include "bleinstrument.h"
#include "devices/ble/blemanager.h"
#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "simulatedbleradio.h"

#include <QProcess>

namespace {

QByteArray firmwareImage(const QString &version, int size)
{
    QByteArray image = "NERRA_FW_VERSION=" + version.toLatin1() + "\nNERRA_OTA_USB=1\n";
    for (int i = image.size(); i < size; ++i)
        image.append(char((i * 7 + 3) % 256));
    return image;
}

} // namespace

class TestUsbInstrument : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_sim = std::make_unique<SimulatedLink>();
    }
    void cleanup()
    {
        m_sim.reset();
        m_env.reset();
    }

    void oneInstrumentOnBothLinks();
    void stateKeptInFolder();
    void standaloneProgram();

private:

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<SimulatedLink> m_sim;
};

void TestUsbInstrument::oneInstrumentOnBothLinks()
{
    SimulatedBleRadio radio;
    BleInstrument *instrument = radio.addInstrument(&m_sim->state);
    DeviceManager devices;
    devices.addDevice(new DeviceInfo(instrument->advertisedName(), instrument->address().toString()));
    BleManager ble(&devices, nullptr, &radio);
    BleTimings timings;
    timings.chunk = 5;
    ble.setTimings(timings);
    ble.connectToDevice(0);
    QTRY_VERIFY(ble.isConnected());
    QCOMPARE(ble.connectedDeviceHwId(), m_sim->state.hardwareId());
    QSignalSpy complete(&ble, &DeviceConnection::transferComplete);
    ble.sendData("TIPSELECT,S,,,,,,,,\nPURGE,S,,,,,,4,\n", QStringLiteral("ble.csv"));
    QVERIFY(complete.wait(5000));

    QVERIFY(m_sim->connect());
    QSignalSpy listed(m_sim->link.get(), &DeviceConnection::protocolListReceived);
    m_sim->link->listProtocols();
    QVERIFY(listed.wait(5000));
    QVERIFY(listed.constFirst().constFirst().toStringList().contains(QStringLiteral("ble.csv")));
}

void TestUsbInstrument::stateKeptInFolder()
{
    const QString folder = m_env->root() + QStringLiteral("/instrument");
    {
        InstrumentState state;
        QVERIFY(state.setStorageFolder(folder));
        state.setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
        QVERIFY(state.putFile(QStringLiteral("kept.csv"), "a\nb\n"));
        QVERIFY(state.putFile(QStringLiteral("Lösung (2).csv"), "c\n"));
        QVERIFY(!state.putFile(QStringLiteral("../outside.csv"), "x"));
        QVERIFY(state.setCoefficient(4, 1.0125));
        QVERIFY(state.setPreference(QStringLiteral("password"), QStringLiteral("s3cret")));
        state.setCertificateRecord(QStringLiteral("{\"sn\":\"1\"}"));
        state.stageImage(firmwareImage(QStringLiteral("3.0.0"), 64));
    }
    QVERIFY(!QFile::exists(m_env->root() + QStringLiteral("/outside.csv")));
    InstrumentState state;
    QVERIFY(state.setStorageFolder(folder));
    QCOMPARE(state.hardwareId(), QStringLiteral("0F0E0D0C0B0A"));
    QCOMPARE(state.fileNames(), (QStringList{QStringLiteral("Lösung (2).csv"), QStringLiteral("kept.csv")}));
    QCOMPARE(state.file(QStringLiteral("Lösung (2).csv")), QByteArray("c\n"));
    QCOMPARE(state.file(QStringLiteral("kept.csv")), QByteArray("a\nb\n"));
    QCOMPARE(state.coefficients().at(4), 1.0125);
    QCOMPARE(state.preferences().value(QStringLiteral("password")).toString(), QStringLiteral("s3cret"));
    QVERIFY(state.hasCertificate());
    // The staged image waits in flash for the next start.
    QVERIFY(state.hasStagedImage());
    QCOMPARE(state.boot(), InstrumentState::BootOutcome::NewImage);
    QCOMPARE(state.firmwareVersion(), QStringLiteral("3.0.0"));
}

void TestUsbInstrument::standaloneProgram()
{
    QProcess sim;
    sim.setProgram(QStringLiteral(NERRA_SIM_EXECUTABLE));
    sim.setArguments({QStringLiteral("--id"), QStringLiteral("ABCDEF012345"), QStringLiteral("--name"),
                      QStringLiteral("Demo"), QStringLiteral("--state"), m_env->root() + QStringLiteral("/demo")});
    sim.setStandardErrorFile(QProcess::nullDevice());
    sim.start();
    QVERIFY(sim.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 10000);
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(port.startsWith(QLatin1String("/dev/pts/")), qPrintable(port));

    // The link finds it on its own port and reads who it is.
    StaticPortLister lister;
    lister.entries = {SerialPortEntry{port, SerialManager::InstrumentVendorId, SerialManager::InstrumentProductId}};
    SerialManager link;
    useFastTimers(link);
    link.setPortLister(&lister);
    link.setAvailability(true);
    QTRY_COMPARE_WITH_TIMEOUT(link.usbDeviceId(), QStringLiteral("ABCDEF012345"), 10000);
    QCOMPARE(link.usbDeviceName(), QStringLiteral("Demo"));
    link.disconnect();

    sim.terminate();
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(QFile::exists(m_env->root() + QStringLiteral("/demo/state.json")));
}

NERRA_TEST_MAIN(TestUsbInstrument)
#include "tst_usbinstrument.moc"
