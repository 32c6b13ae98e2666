// Manufacturing mode and the USB gate it opens: the PIN, the bench Wi-Fi network read by a
// stand-in for nmcli, and the link start-up wires to it.

#include "app/mfgmanager.h"
#include "app/startupwiring.h"
#include "app/updatemanager.h"
#include "devices/serial/serialmanager.h"
#include "testmain.h"

#include <QFile>
#include <QSignalSpy>

#include <memory>

namespace {

const char *const CustomerFacing = "NERRA_USB_CUSTOMER_FACING";
const QByteArray OnTheBench("yes:Meridian Bench 04\n");

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

class TestMfgManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;
    QString m_work;

    // A stand-in for nmcli: notes each run and its process id, prints the listing file,
    // exits with the code in the exitcode file, and hangs while a "hang" file exists.
    QString writeReader()
    {
        const QByteArray dir = QFile::encodeName(m_work);
        const QString path = m_work + QStringLiteral("/nmcli");
        const bool written = writeText(path, "#!/bin/sh\necho $$ > '" + dir + "/pid'\necho run >> '" + dir + "/runs'\n"
                                             "if [ -f '" + dir + "/hang' ]; then exec sleep 30; fi\n"
                                             // nmcli translates its "yes" column unless asked not to.
                                             "if [ \"$LC_ALL\" = C ]; then cat '" + dir + "/listing'; "
                                             "else sed 's/^yes:/ja:/' '" + dir + "/listing'; fi\n"
                                             "exit $(cat '" + dir + "/exitcode')\n");
        return written && QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner) ? path : QString();
    }
    bool setListing(const QByteArray &listing, int exitCode = 0)
    {
        return writeText(m_work + QStringLiteral("/listing"), listing)
               && writeText(m_work + QStringLiteral("/exitcode"), QByteArray::number(exitCode));
    }
    int runs() const
    {
        QFile log(m_work + QStringLiteral("/runs"));
        return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
    }

private slots:
    void init()
    {
        m_env = std::make_unique<IsolatedEnvironment>();
        m_work = m_env->home();
        QVERIFY(setListing(QByteArray()));
        qunsetenv(CustomerFacing);
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
    }
    void usbIsOfferedToCustomersOrInManufacturing()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, customerFacing);
        if (!value.isNull())
            qputenv(CustomerFacing, value);
        MfgManager mfg;
        mfg.setSsidProgram(m_work + QStringLiteral("/no-reader"));
        qputenv(CustomerFacing, customerFacing ? "0" : "1");   // read once at start-up
        SerialManager link;
        link.setAvailability(!customerFacing);   // whatever it held, the wiring gives the answer
        StartupWiring::feedUsbAvailability(mfg, link);
        UpdateManager updates;   // its chosen channel counts only in manufacturing mode
        updates.setUpdateEnv(QStringLiteral("dev"));
        StartupWiring::feedMfgMode(mfg, updates);
        QSignalSpy usb(&mfg, &MfgManager::usbAvailableChanged);
        QCOMPARE(link.isAvailable(), customerFacing);
        QVERIFY(!mfg.activateWithPin(QStringLiteral("40517")) && !mfg.mfgMode());
        QVERIFY(mfg.activateWithPin(QStringLiteral("40516")));
        QVERIFY(link.isAvailable());   // at once, with no event loop in between
        QCOMPARE(updates.effectiveEnv(), QStringLiteral("dev"));
        mfg.deactivate();
        QCOMPARE(link.isAvailable(), customerFacing);
        QCOMPARE(updates.effectiveEnv(), QStringLiteral("prod"));
        QCOMPARE(usb.count(), customerFacing ? 0 : 2);
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
        QVERIFY(setListing(listing, exitCode));
        MfgManager mfg;
        mfg.setPollInterval(20);
        QSignalSpy network(&mfg, &MfgManager::networkDetectedChanged);
        mfg.setSsidProgram(writeReader());
        // A second run starts only after the first one's answer has been applied.
        QTRY_VERIFY(runs() >= 2);
        QCOMPARE(mfg.networkDetected(), detected);
        QCOMPARE(mfg.mfgMode(), detected);
        QCOMPARE(network.count(), detected ? 1 : 0);
    }

    void offByHandComesBackOnTheNetwork()
    {
        QVERIFY(setListing(OnTheBench));
        MfgManager mfg;
        mfg.setPollInterval(20);
        mfg.setSsidProgram(writeReader());
        QTRY_VERIFY(mfg.mfgMode());
        mfg.deactivate();
        QVERIFY(!mfg.mfgMode());
        QTRY_VERIFY(mfg.mfgMode());   // still on the bench network: the next check
        // Leaving the network does not switch it off; off by hand away from it stays off.
        QVERIFY(setListing("yes:Guest\n"));
        QTRY_VERIFY(!mfg.networkDetected());
        QVERIFY(mfg.mfgMode());
        mfg.deactivate();
        const int seen = runs();
        QTRY_VERIFY(runs() >= seen + 2);
        QVERIFY(!mfg.mfgMode());
    }

    void hungReaderIsStopped()
    {
        QVERIFY(setListing(OnTheBench) && writeText(m_work + QStringLiteral("/hang"), ""));
        auto mfg = std::make_unique<MfgManager>();
        mfg->setPollInterval(10);
        mfg->setReaderTimeout(50);
        mfg->setSsidProgram(writeReader());
        QTRY_VERIFY(runs() >= 2);   // stopped, so that the next check can start another
        QVERIFY(!mfg->networkDetected());
        QVERIFY(QFile::remove(m_work + QStringLiteral("/hang")));
        QTRY_VERIFY(mfg->networkDetected());
        // Torn down while a reader hangs: it goes with the manager.
        QVERIFY(writeText(m_work + QStringLiteral("/hang"), ""));
        const int seen = runs();
        QTRY_VERIFY(runs() > seen);
        QFile pid(m_work + QStringLiteral("/pid"));
        QVERIFY(pid.open(QIODevice::ReadOnly));
        const QString process = QStringLiteral("/proc/") + QString::fromLatin1(pid.readAll().trimmed());
        QVERIFY(QFileInfo::exists(process));
        mfg.reset();
        QVERIFY(!QFileInfo::exists(process));
    }
};

NERRA_TEST_MAIN(TestMfgManager)
#include "tst_mfgmanager.moc"
