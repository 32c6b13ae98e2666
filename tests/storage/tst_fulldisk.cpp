// Every whole-file write of the program, cut short the way a full disk cuts it short:
// a per-process file-size limit makes the operating system refuse bytes part-way
// through, exactly as ENOSPC does. The earlier file must stay as it was and the caller
// must hear of the failure.
#include "app/filedialoghelper.h"
#include "app/logmanager.h"
#include "editor/protocolbuilder.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"
#include "filesizelimit.h"
#include "testfiles.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>

#include <memory>

namespace {

const QByteArray Earlier = "earlier\n";
const QString Hw = QStringLiteral("A1B2C3D4E5F6");
const QString Method = QStringLiteral("protocol name: Wash\n\n" "tipselect tip:small\n" "aspirate tip:small vol:100.0 xvol:0 speed:5\n"
                                      "dispense tip:small vol:100.0 xvol:0 speed:5\n");

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}


} // namespace

class TestFullDisk : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void earlierFileSurvivesAndFailureIsReported_data()
    {
        QTest::addColumn<QString>("writer");
        for (const char *writer : {"library export", "editor save", "editor compile", "device store edit", "file helper", "log export"})
            QTest::newRow(writer) << QString::fromLatin1(writer);
    }

    void earlierFileSurvivesAndFailureIsReported()
    {
        QFETCH(QString, writer);
        const QString source = m_env->tempDir() + QStringLiteral("/wash.spl");
        QVERIFY(writeFile(source, Method.toUtf8()));

        ProtocolLibrary library;
        const QString id = library.importFromSplFile(source);
        ProtocolBuilder builder;
        QVERIFY(!id.isEmpty() && builder.loadFromFile(source) && !builder.hasErrors());
        DeviceProtocolStore store;
        QVERIFY(store.storeFromDevice(Hw, QStringLiteral("wash.csv"), Earlier));
        LogManager log;
        FileDialogHelper files;

        QString target = m_env->tempDir() + QStringLiteral("/target");
        if (writer == QLatin1String("device store edit"))
            target = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/deviceProtocols/" + Hw + "/wash.csv";
        else
            QVERIFY(writeFile(target, Earlier));
        QCOMPARE(contents(target), Earlier);
        const QDir folder = QFileInfo(target).dir();
        const QStringList filesBefore = folder.entryList(QDir::Files | QDir::Hidden);
        QSignalSpy libraryErrors(&library, &ProtocolLibrary::errorOccurred);
        QSignalSpy builderErrors(&builder, &ProtocolBuilder::errorOccurred);

        bool written = true;
        {
            const QtMessageHandler previous = qInstallMessageHandler(LogManager::handleMessage);
            qDebug() << "a line long enough to pass the limit on its own";
            FileSizeLimit full(16);
            if (writer == QLatin1String("library export"))
                written = library.exportProtocolToFile(id, target);
            else if (writer == QLatin1String("editor save"))
                written = builder.saveToFile(target);
            else if (writer == QLatin1String("editor compile"))
                written = builder.compileToCsv(target);
            else if (writer == QLatin1String("device store edit"))
                written = store.storeLocalEdit(Hw, QStringLiteral("wash.csv"), builder.getCsvData());
            else if (writer == QLatin1String("file helper"))
                written = files.writeFile(target, Method.toUtf8());
            else {
                log.exportToFile(target);
                written = !log.logMessages().constLast().contains(QLatin1String("Failed to write log file"));
            }
            qInstallMessageHandler(previous);
        }

        QVERIFY(!written);
        QCOMPARE(contents(target), Earlier);
        // Nothing half-written is left beside it either.
        QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden), filesBefore);
        // The library and the editor say so once; the others answer false or log it.
        QCOMPARE(libraryErrors.count() + builderErrors.count(), writer == "library export" || writer.startsWith("editor") ? 1 : 0);
        if (writer == QLatin1String("device store edit"))
            QVERIFY(!store.isDirty(Hw, QStringLiteral("wash.csv")));
    }

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestFullDisk)
#include "tst_fulldisk.moc"
