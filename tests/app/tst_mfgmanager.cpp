#include "app/mfgmanager.h"
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

private slots:
    void init();
    void cleanup();

    void usbAvailableFollowsTheEnvironment_data();
    void usbAvailableFollowsTheEnvironment();
    void pinSwitchesOnOnlyWhenRight_data();
    void pinSwitchesOnOnlyWhenRight();
    void networkReading_data();
    void networkReading();
    void offByHandComesBackOnTheNetwork();
    void missingReaderIsNotStartedEveryCheck_data();
    void missingReaderIsNotStartedEveryCheck();
    void hungReaderIsStopped();

private:
    // A stand-in for nmcli: logs each run, prints the listing file, and hangs while a
    // "hang" file exists.
    QString writeReader(const QString &path, const QByteArray &interpreter = "/bin/sh");
    void setListing(const QByteArray &listing, int exitCode = 0);
    int runs() const;
    std::unique_ptr<MfgManager> manager(int pollInterval = 20);

    std::unique_ptr<IsolatedEnvironment> m_env;
    QString m_work;
    QByteArray m_savedCustomerFacing;
    bool m_customerFacingWasSet = false;
};

void TestMfgManager::init()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    QVERIFY(m_env->isValid());
    m_work = m_env->root() + QStringLiteral("/work");
    QVERIFY(QDir().mkpath(m_work));
    m_customerFacingWasSet = qEnvironmentVariableIsSet(CustomerFacing);
    m_savedCustomerFacing = qgetenv(CustomerFacing);
    qunsetenv(CustomerFacing);
    setListing(QByteArray());
}

void TestMfgManager::cleanup()
{
    if (m_customerFacingWasSet)
        qputenv(CustomerFacing, m_savedCustomerFacing);
    else
        qunsetenv(CustomerFacing);
    m_env.reset();
}

QString TestMfgManager::writeReader(const QString &path, const QByteArray &interpreter)
{
    const QByteArray dir = QFile::encodeName(m_work);
    const QByteArray script = "#!" + interpreter + "\n"
                              "echo run >> '" + dir + "/runs'\n"
                              "if [ -f '" + dir + "/hang' ]; then exec sleep 30; fi\n"
                              // nmcli translates its "yes" column unless asked not to.
                              "if [ \"$LC_ALL\" = C ]; then cat '" + dir + "/listing'; "
                              "else sed 's/^yes:/ja:/' '" + dir + "/listing'; fi\n"
                              "exit $(cat '" + dir + "/exitcode')\n";
    return writeText(path, script, true) ? path : QString();
}

void TestMfgManager::setListing(const QByteArray &listing, int exitCode)
{
    QVERIFY(writeText(m_work + QStringLiteral("/listing"), listing));
    QVERIFY(writeText(m_work + QStringLiteral("/exitcode"), QByteArray::number(exitCode)));
}

int TestMfgManager::runs() const
{
    QFile log(m_work + QStringLiteral("/runs"));
    return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
}

std::unique_ptr<MfgManager> TestMfgManager::manager(int pollInterval)
{
    auto made = std::make_unique<MfgManager>();
    made->setPollInterval(pollInterval);
    return made;
}

void TestMfgManager::usbAvailableFollowsTheEnvironment_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("customerFacing");

    QTest::newRow("unset") << false << QByteArray() << true;
    QTest::newRow("0") << true << QByteArray("0") << false;
    QTest::newRow("1 with blanks") << true << QByteArray(" 1 ") << true;
    QTest::newRow("1") << true << QByteArray("1") << true;
    QTest::newRow("set but empty") << true << QByteArray("") << false;
    QTest::newRow("yes is not 1") << true << QByteArray("yes") << false;
}

void TestMfgManager::usbAvailableFollowsTheEnvironment()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    QFETCH(bool, customerFacing);

    if (set)
        qputenv(CustomerFacing, value);
    auto mfg = manager(MfgManager::DefaultPollInterval);
    mfg->setSsidProgram(m_work + QStringLiteral("/no-reader"));
    // Read once at construction: later changes do not count.
    qputenv(CustomerFacing, customerFacing ? "0" : "1");

    QSignalSpy usb(mfg.get(), &MfgManager::usbAvailableChanged);
    QSignalSpy mode(mfg.get(), &MfgManager::mfgModeChanged);
    QCOMPARE(mfg->usbAvailable(), customerFacing);
    QCOMPARE(mfg->property("usbAvailable").toBool(), customerFacing);

    QVERIFY(mfg->activateWithPin(QStringLiteral("40516")));
    QVERIFY(mfg->usbAvailable());
    QCOMPARE(usb.count(), customerFacing ? 0 : 1);

    mfg->deactivate();
    QCOMPARE(mfg->usbAvailable(), customerFacing);
    QCOMPARE(usb.count(), customerFacing ? 0 : 2);
    QCOMPARE(mode.count(), 2);
}

void TestMfgManager::pinSwitchesOnOnlyWhenRight_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<bool>("right");

    QTest::newRow("right") << "40516" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("too short") << "4051" << false;
    QTest::newRow("too long") << "405160" << false;
    QTest::newRow("leading blank") << " 40516" << false;
    QTest::newRow("one digit off") << "40517" << false;
}

void TestMfgManager::pinSwitchesOnOnlyWhenRight()
{
    QFETCH(QString, pin);
    QFETCH(bool, right);

    qputenv(CustomerFacing, "0");
    auto mfg = manager(MfgManager::DefaultPollInterval);
    mfg->setSsidProgram(m_work + QStringLiteral("/no-reader"));
    QSignalSpy mode(mfg.get(), &MfgManager::mfgModeChanged);
    QSignalSpy usb(mfg.get(), &MfgManager::usbAvailableChanged);
    QVERIFY(!mfg->mfgMode());

    QCOMPARE(mfg->activateWithPin(pin), right);
    QCOMPARE(mfg->mfgMode(), right);
    QCOMPARE(mode.count(), right ? 1 : 0);
    QCOMPARE(usb.count(), right ? 1 : 0);

    // Again while already on: true for the right PIN, and nothing is emitted.
    QCOMPARE(mfg->activateWithPin(pin), right);
    QCOMPARE(mode.count(), right ? 1 : 0);

    mfg->deactivate();
    mfg->deactivate();
    QVERIFY(!mfg->mfgMode());
    QCOMPARE(mode.count(), right ? 2 : 0);
    QVERIFY(!mfg->networkDetected());
}

void TestMfgManager::networkReading_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("detected");

    QTest::newRow("on the bench network") << OnTheBench << 0 << true;
    QTest::newRow("among other networks")
        << QByteArray("no:Guest\nyes:Meridian Bench 04\nno:Lab\\:5G\n") << 0 << true;
    QTest::newRow("in range but connected elsewhere")
        << QByteArray("no:Meridian Bench 04\nyes:Guest\n") << 0 << false;
    QTest::newRow("differs in letter case") << QByteArray("yes:meridian bench 04\n") << 0 << false;
    QTest::newRow("escaped colon belongs to the name")
        << QByteArray("yes:Lab\\:Meridian Bench 04\n") << 0 << false;
    QTest::newRow("no Wi-Fi") << QByteArray() << 0 << false;
    QTest::newRow("reader failed") << OnTheBench << 8 << false;
}

void TestMfgManager::networkReading()
{
    QFETCH(QByteArray, listing);
    QFETCH(int, exitCode);
    QFETCH(bool, detected);

    setListing(listing, exitCode);
    auto mfg = manager();
    QSignalSpy network(mfg.get(), &MfgManager::networkDetectedChanged);
    QSignalSpy mode(mfg.get(), &MfgManager::mfgModeChanged);
    mfg->setSsidProgram(writeReader(m_work + QStringLiteral("/nmcli")));

    // A second run starts only after the first one's answer has been applied.
    QTRY_VERIFY(runs() >= 2);
    QCOMPARE(mfg->networkDetected(), detected);
    QCOMPARE(mfg->mfgMode(), detected);
    QCOMPARE(network.count(), detected ? 1 : 0);
    QCOMPARE(mode.count(), detected ? 1 : 0);
    QCOMPARE(mfg->property("networkDetected").toBool(), detected);
}

void TestMfgManager::offByHandComesBackOnTheNetwork()
{
    setListing(OnTheBench);
    auto mfg = manager();
    QSignalSpy mode(mfg.get(), &MfgManager::mfgModeChanged);
    mfg->setSsidProgram(writeReader(m_work + QStringLiteral("/nmcli")));
    QTRY_VERIFY(mfg->mfgMode());

    mfg->deactivate();
    QVERIFY(!mfg->mfgMode());
    QCOMPARE(mode.count(), 2);
    // Still on the bench network: the next check switches it on again.
    QTRY_VERIFY(mfg->mfgMode());
    QCOMPARE(mode.count(), 3);

    // Leaving the network does not switch it off.
    QSignalSpy network(mfg.get(), &MfgManager::networkDetectedChanged);
    setListing("yes:Guest\n");
    QTRY_VERIFY(!mfg->networkDetected());
    QCOMPARE(network.count(), 1);
    int seen = runs();
    QTRY_VERIFY(runs() >= seen + 2);
    QVERIFY(mfg->mfgMode());

    // Off by hand away from the bench stays off.
    mfg->deactivate();
    seen = runs();
    QTRY_VERIFY(runs() >= seen + 2);
    QVERIFY(!mfg->mfgMode());
    QCOMPARE(mode.count(), 4);
}

void TestMfgManager::missingReaderIsNotStartedEveryCheck_data()
{
    QTest::addColumn<bool>("presentButBroken");

    QTest::newRow("no such program") << false;
    QTest::newRow("program that cannot start") << true;
}

void TestMfgManager::missingReaderIsNotStartedEveryCheck()
{
    QFETCH(bool, presentButBroken);

    setListing(OnTheBench);
    const QString reader = m_work + QStringLiteral("/nmcli");
    if (presentButBroken)
        QVERIFY(!writeReader(reader, "/no/such/interpreter").isEmpty());
    auto mfg = manager(10);
    mfg->setReaderRecheckInterval(60 * 60 * 1000);
    auto *poll = mfg->findChild<QTimer *>();
    QVERIFY(poll);
    QSignalSpy checks(poll, &QTimer::timeout);
    mfg->setSsidProgram(reader);
    QTRY_VERIFY(checks.count() >= 3);
    QVERIFY(!mfg->networkDetected());

    // The reader turns up, but a missing one is not looked for at every check.
    QVERIFY(!writeReader(reader).isEmpty());
    checks.clear();
    QTRY_VERIFY(checks.count() >= 10);
    QCOMPARE(runs(), 0);
    QVERIFY(!mfg->networkDetected());

    // It is looked for again once the recheck interval has passed.
    mfg->setReaderRecheckInterval(0);
    QTRY_VERIFY(mfg->networkDetected());
    QVERIFY(mfg->mfgMode());
}

void TestMfgManager::hungReaderIsStopped()
{
    setListing(OnTheBench);
    QVERIFY(writeText(m_work + QStringLiteral("/hang"), ""));
    auto mfg = manager(10);
    mfg->setReaderTimeout(50);
    mfg->setSsidProgram(writeReader(m_work + QStringLiteral("/nmcli")));

    // The hung reader is stopped, so the next check can start another.
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

NERRA_TEST_MAIN(TestMfgManager)
#include "tst_mfgmanager.moc"
