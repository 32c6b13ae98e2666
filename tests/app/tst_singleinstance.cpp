// Two real processes of the program: the single-instance guard as a user meets it.

#include "testmain.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <memory>

namespace {

const QByteArray FirstFrame = "Main: first frame after";
const QByteArray Raised = "Main: raise requested by another instance";

// One started program with everything it wrote to standard error. The program inherits
// the test's sandbox: its lock, socket and settings live in the test's temporary folder.
struct Instance
{
    QProcess process;
    QByteArray output;
    Instance()
    {
        process.setProgram(QStringLiteral(NERRA_DESKTOP_EXECUTABLE));
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { output += process.readAllStandardError(); });
        process.start();
    }
    ~Instance()
    {
        process.kill();
        process.waitForFinished(10000);
    }
};

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

    std::unique_ptr<IsolatedEnvironment> m_env;

    bool leftBehind() const
    {
        return QFileInfo::exists(m_env->tempDir() + QStringLiteral("/nerra-desktop.lock"))
               && QFileInfo::exists(m_env->tempDir() + QStringLiteral("/NerraDesktopInstance"));
    }

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void secondStartRaisesTheFirstAndExits()
    {
        Instance first;
        QTRY_VERIFY_WITH_TIMEOUT(first.output.contains(FirstFrame), 30000);
        QVERIFY(leftBehind());
        QVERIFY(!first.output.contains(Raised));
        Instance second;
        QVERIFY(second.process.waitForFinished(30000));
        QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process.exitCode(), 0);
        QVERIFY(!second.output.contains(FirstFrame));   // it never showed a window
        QTRY_VERIFY_WITH_TIMEOUT(first.output.contains(Raised), 30000);
        QCOMPARE(first.process.state(), QProcess::Running);
    }

    void crashedInstanceDoesNotBlockTheNext()
    {
        {
            Instance crashed;
            QTRY_VERIFY_WITH_TIMEOUT(crashed.output.contains(FirstFrame), 30000);
            crashed.process.kill();
            QVERIFY(crashed.process.waitForFinished(10000));
        }
        QVERIFY(leftBehind());   // a hard kill leaves both behind
        Instance next;
        QTRY_VERIFY_WITH_TIMEOUT(next.output.contains(FirstFrame), 30000);
        // It took over the server name: a later start reaches it.
        Instance later;
        QVERIFY(later.process.waitForFinished(30000));
        QCOMPARE(later.process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(next.output.contains(Raised), 30000);
    }
};

NERRA_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
