// The direct links start-up makes between controllers.

#include "app/mfgmanager.h"
#include "app/startupwiring.h"
#include "devices/serial/serialmanager.h"
#include "testmain.h"

#include <memory>

class TestStartupWiring : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_saved = qgetenv("NERRA_USB_CUSTOMER_FACING");
        m_wasSet = qEnvironmentVariableIsSet("NERRA_USB_CUSTOMER_FACING");
    }
    void cleanup()
    {
        if (m_wasSet)
            qputenv("NERRA_USB_CUSTOMER_FACING", m_saved);
        else
            qunsetenv("NERRA_USB_CUSTOMER_FACING");
        m_env.reset();
    }

    void manufacturingModeSwitchesUsbAtOnce();
    void customerFacingUsbStaysOn();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
    QByteArray m_saved;
    bool m_wasSet = false;
};

void TestStartupWiring::manufacturingModeSwitchesUsbAtOnce()
{
    qputenv("NERRA_USB_CUSTOMER_FACING", "0");
    MfgManager mfg;
    SerialManager serial;
    serial.setAvailability(true); // whatever it held before, the wiring gives the current answer
    StartupWiring::feedUsbAvailability(mfg, serial);
    QVERIFY(!serial.isAvailable());

    QVERIFY(mfg.activateWithPin(QStringLiteral("40516")));
    QVERIFY(serial.isAvailable()); // synchronously, no event loop in between
    mfg.deactivate();
    QVERIFY(!serial.isAvailable());
}

void TestStartupWiring::customerFacingUsbStaysOn()
{
    qputenv("NERRA_USB_CUSTOMER_FACING", "1");
    MfgManager mfg;
    SerialManager serial;
    StartupWiring::feedUsbAvailability(mfg, serial);
    QVERIFY(serial.isAvailable());
    QVERIFY(mfg.activateWithPin(QStringLiteral("40516")));
    mfg.deactivate();
    QVERIFY(serial.isAvailable());
}

NERRA_TEST_MAIN(TestStartupWiring)
#include "tst_startupwiring.moc"
