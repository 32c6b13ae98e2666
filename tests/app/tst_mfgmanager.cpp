// Manufacturing mode and the USB gate it opens: the PIN, the bench Wi-Fi network read by a
// stand-in for nmcli, and the link start-up wires to it.

#include "app/mfgmanager.h"
#include "app/startupwiring.h"
#include "devices/serial/serialmanager.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTimer>

#include <memory>

namespace {

const char *const CustomerFacing = "NERRA_USB_CUSTOMER_FACING";
const QByteArray OnTheBench("yes:Meridian Bench 04\n");

bool writeText(const QString &path, const QByteArray &text, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

} // namespace

class TestMfgManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    QString m_work;

    // A stand-in for nmcli: logs each run, prints the listing file, and hangs while a
    // "hang" file exists.
    QString writeReader(const QByteArray &interpreter = "/bin/sh")
    {
        const QByteArray dir = QFile::encodeName(m_work);
        const QByteArray script = "#!" + interpreter + "\n"
                                  "echo run >> '" + dir + "/runs'\n"
                                  "if [ -f '" + dir + "/hang' ]; then exec sleep 30; fi\n"
                                  // nmcli translates its "yes" column unless asked not to.
                                  "if [ \"$LC_ALL\" = C ]; then cat '" + dir + "/listing'; "
                                  "else sed 's/^yes:/ja:/' '" + dir + "/listing'; fi\n"
                                  "exit $(cat '" + dir + "/exitcode')\n";
        const QString path = m_work + QStringLiteral("/nmcli");
        return writeText(path, script, true) ? path : QString();
    }
    void setListing(const QByteArray &listing, int exitCode = 0)
    {
        QVERIFY(writeText(m_work + QStringLiteral("/listing"), listing));
        QVERIFY(writeText(m_work + QStringLiteral("/exitcode"), QByteArray::number(exitCode)));
    }
    int runs() const
    {
        QFile log(m_work + QStringLiteral("/runs"));
        return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
    }
    std::unique_ptr<MfgManager> manager(int pollInterval = 20)
    {
        auto made = std::make_unique<MfgManager>();
        made->setPollInterval(pollInterval);
        return made;
    }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_work = m_env->root() + QStringLiteral("/work");
        QVERIFY(QDir().mkpath(m_work));
        qunsetenv(CustomerFacing);
        setListing(QByteArray());
    }
    void cleanup()
    {
        qunsetenv(CustomerFacing);
        m_env.reset();
    }

    void usbIsOfferedToCustomersOrInManufacturing_data()
    {
        QTest::addColumn<QByteArray>("value");   // null: not set
        QTest::addColumn<bool>("customerFacing");
        QTest::newRow("unset") << QByteArray() << true;
        QTest::newRow("1 with blanks") << QByteArray(" 1 ") << true;
        QTest::newRow("0") << QByteArray("0") << false;
        QTest::newRow("yes is not 1") << QByteArray("yes") << false;
    }
    void usbIsOfferedToCustomersOrInManufacturing()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, customerFacing);
        if (!value.isNull())
            qputenv(CustomerFacing, value);
        auto mfg = manager(MfgManager::DefaultPollInterval);
        mfg->setSsidProgram(m_work + QStringLiteral("/no-reader"));
        // Read once at start-up: later changes do not count.
        qputenv(CustomerFacing, customerFacing ? "0" : "1");
        SerialManager link;
        link.setAvailability(!customerFacing);   // whatever it held, the wiring gives the answer
        StartupWiring::feedUsbAvailability(*mfg, link);
        QSignalSpy usb(mfg.get(), &MfgManager::usbAvailableChanged);
        QCOMPARE(mfg->usbAvailable(), customerFacing);
        QCOMPARE(link.isAvailable(), customerFacing);

        QVERIFY(mfg->activateWithPin(QStringLiteral("40516")));
        // At once, with no event loop in between.
        QVERIFY(mfg->usbAvailable() && link.isAvailable());
        mfg->deactivate();
        QCOMPARE(link.isAvailable(), customerFacing);
        QCOMPARE(usb.count(), customerFacing ? 0 : 2);
    }

    void onlyTheRightPinSwitchesItOn_data()
    {
        QTest::addColumn<QString>("pin");
        QTest::newRow("right") << "40516";
        QTest::newRow("one digit off") << "40517";
        QTest::newRow("too long") << "405160";
        QTest::newRow("leading blank") << " 40516";
    }
    void onlyTheRightPinSwitchesItOn()
    {
        QFETCH(QString, pin);
        const bool right = pin == QLatin1String("40516");
        auto mfg = manager(MfgManager::DefaultPollInterval);
        mfg->setSsidProgram(m_work + QStringLiteral("/no-reader"));
        QSignalSpy mode(mfg.get(), &MfgManager::mfgModeChanged);
        QCOMPARE(mfg->activateWithPin(pin), right);
        QCOMPARE(mfg->mfgMode(), right);
        // Again while on: nothing more is announced.
        QCOMPARE(mfg->activateWithPin(pin), right);
        QCOMPARE(mode.count(), right ? 1 : 0);
        mfg->deactivate();
        QVERIFY(!mfg->mfgMode());
    }

    void benchNetworkSwitchesItOn_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("detected");
        QTest::newRow("among other networks") << QByteArray("no:Guest\r\nyes:Meridian Bench 04\r\n") << 0 << true;
        QTest::newRow("in range, connected elsewhere") << QByteArray("no:Meridian Bench 04\nyes:Guest\n") << 0 << false;
        QTest::newRow("differs in letter case") << QByteArray("yes:meridian bench 04\n") << 0 << false;
        QTest::newRow("escaped colon belongs to the name") << QByteArray("yes:Lab\\:Meridian Bench 04\n") << 0 << false;
        QTest::newRow("reader failed") << OnTheBench << 8 << false;
    }
    void benchNetworkSwitchesItOn()
    {
        QFETCH(QByteArray, listing);
        QFETCH(int, exitCode);
        QFETCH(bool, detected);
        setListing(listing, exitCode);
        auto mfg = manager();
        QSignalSpy network(mfg.get(), &MfgManager::networkDetectedChanged);
        mfg->setSsidProgram(writeReader());
        // A second run starts only after the first one's answer has been applied.
        QTRY_VERIFY(runs() >= 2);
        QCOMPARE(mfg->networkDetected(), detected);
        QCOMPARE(mfg->mfgMode(), detected);
        QCOMPARE(network.count(), detected ? 1 : 0);
    }

    void offByHandComesBackOnTheNetwork()
    {
        setListing(OnTheBench);
        auto mfg = manager();
        mfg->setSsidProgram(writeReader());
        QTRY_VERIFY(mfg->mfgMode());
        mfg->deactivate();
        QVERIFY(!mfg->mfgMode());
        // Still on the bench network: the next check switches it on again.
        QTRY_VERIFY(mfg->mfgMode());
        // Leaving the network does not switch it off; off by hand away from it stays off.
        setListing("yes:Guest\n");
        QTRY_VERIFY(!mfg->networkDetected());
        QVERIFY(mfg->mfgMode());
        mfg->deactivate();
        const int seen = runs();
        QTRY_VERIFY(runs() >= seen + 2);
        QVERIFY(!mfg->mfgMode());
    }

    void missingReaderIsNotStartedEveryCheck_data()
    {
        QTest::addColumn<bool>("presentButBroken");
        QTest::newRow("no such program") << false;
        QTest::newRow("program that cannot start") << true;
    }
    void missingReaderIsNotStartedEveryCheck()
    {
        QFETCH(bool, presentButBroken);
        setListing(OnTheBench);
        const QString reader = m_work + QStringLiteral("/nmcli");
        if (presentButBroken)
            QVERIFY(!writeReader("/no/such/interpreter").isEmpty());
        auto mfg = manager(10);
        mfg->setReaderRecheckInterval(60 * 60 * 1000);
        QSignalSpy checks(mfg->findChild<QTimer *>(), &QTimer::timeout);
        mfg->setSsidProgram(reader);
        QTRY_VERIFY(checks.count() >= 3);
        // The reader turns up, but a missing one is not looked for at every check...
        QVERIFY(!writeReader().isEmpty());
        checks.clear();
        QTRY_VERIFY(checks.count() >= 10);
        QCOMPARE(runs(), 0);
        QVERIFY(!mfg->networkDetected());
        // ...only once the recheck interval has passed.
        mfg->setReaderRecheckInterval(0);
        QTRY_VERIFY(mfg->networkDetected());
    }

    void hungReaderIsStopped()
    {
        setListing(OnTheBench);
        QVERIFY(writeText(m_work + QStringLiteral("/hang"), ""));
        auto mfg = manager(10);
        mfg->setReaderTimeout(50);
        mfg->setSsidProgram(writeReader());
        // Stopped, so that the next check can start another.
        QTRY_VERIFY(runs() >= 2);
        QVERIFY(!mfg->networkDetected());
        QVERIFY(QFile::remove(m_work + QStringLiteral("/hang")));
        QTRY_VERIFY(mfg->networkDetected());
        // Torn down while a reader hangs: it goes with the manager.
        QVERIFY(writeText(m_work + QStringLiteral("/hang"), ""));
        const int seen = runs();
        QTRY_VERIFY(runs() > seen);
        mfg.reset();
    }
};

NERRA_TEST_MAIN(TestMfgManager)
#include "tst_mfgmanager.moc"
