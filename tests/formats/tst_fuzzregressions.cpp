// Replays the fuzz seeds and every input kept from a fuzz finding through the checks the
// fuzz targets make, so a fault once found stays fixed in the ordinary test run.
#include "formatchecks.h"
#include "settingschecks.h"
#include "workbookchecks.h"
#include "testmain.h"

#include <QDir>
#include <QFile>

#include <memory>

class TestFuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void inputsHoldUp_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("path");

        int count = 0;
        for (const char *folder : {"corpus", "regressions"}) {
            for (const char *format : {"spl", "csv", "settings", "xlsx"}) {
                const QDir dir(QStringLiteral(NERRA_FUZZ_DIR "/%1/%2").arg(QLatin1String(folder), QLatin1String(format)));
                for (const QString &file : dir.entryList(QDir::Files, QDir::Name)) {
                    QTest::addRow("%s/%s/%s", folder, format, qPrintable(file)) << QString::fromLatin1(format) << dir.filePath(file);
                    ++count;
                }
            }
        }
        QVERIFY2(count >= 6, "the seed corpus is missing");
    }

    void inputsHoldUp()
    {
        QFETCH(QString, format);
        QFETCH(QString, path);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray input = file.readAll();
        // The readers log what they skip; that is expected here and not the point.
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        const QString problem = format == QLatin1String("spl")    ? FormatChecks::checkSpl(input)
                                : format == QLatin1String("csv")  ? FormatChecks::checkCsv(input)
                                : format == QLatin1String("xlsx") ? WorkbookChecks::checkWorkbook(input)
                                                                  : SettingsChecks::checkSettingsFile(input, m_env->tempDir() + "/store.conf");
        qInstallMessageHandler(previous);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestFuzzRegressions)
#include "tst_fuzzregressions.moc"
