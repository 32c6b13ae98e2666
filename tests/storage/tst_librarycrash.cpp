// Kills a process while it saves the method library in a loop, again and again, and
// checks that the store then holds a whole library: the one before the interrupted save
// or the one after it.

#include "savesequence.h"
#include "storage/protocollibrary.h"
#include "testmain.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>

#include <limits>
#include <memory>

namespace {

constexpr int Methods = 60, Kills = 25;

// The last "saved <k>" among the lines, or `last` when there is none.
qint64 lastSaved(const QByteArray &output, qint64 last)
{
    for (const QByteArray &line : output.split('\n'))
        last = line.startsWith("saved ") ? qMax(last, line.mid(6).toLongLong()) : last;
    return last;
}

} // namespace

class TestLibraryCrash : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void killedWhileSaving_data()
    {
        QTest::addColumn<bool>("journaled");
        QTest::newRow("settings file replaced whole") << false;
        QTest::newRow("journaled saves") << true;
    }

    void killedWhileSaving()
    {
        QFETCH(bool, journaled);
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo() << "seed" << seed;

        int insideWrite = 0, journalLeft = 0;
        qint64 acknowledged = -1;
        for (int kill = 0; kill < Kills; ++kill) {
            QProcess saver;
            saver.setProcessChannelMode(QProcess::SeparateChannels);
            saver.start(QStringLiteral(NERRA_LIBRARY_SAVER), {m_env->configDir(), QString::number(Methods), journaled ? "1" : "0"});
            QVERIFY2(saver.waitForStarted(10000), qPrintable(saver.errorString()));

            QByteArray output;
            while (!output.contains('\n')) {
                QVERIFY2(saver.waitForReadyRead(10000), qPrintable(QString::fromLocal8Bit(saver.readAllStandardError())));
                output += saver.readAllStandardOutput();
            }
            // Then let it save for a random while and kill it wherever it is. A kill on its
            // output instead would always land just after a save had ended.
            QSignalSpy finished(&saver, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            QTimer::singleShot(random.bounded(1, 60), &saver, &QProcess::kill);
            QVERIFY(finished.wait(10000));
            QCOMPARE(saver.exitStatus(), QProcess::CrashExit);
            output += saver.readAllStandardOutput();
            QVERIFY2(output.startsWith("ready "), output.constData());
            acknowledged = lastSaved(output, acknowledged);

            // The saver was inside a write of the settings file when its lock is left behind.
            const QSettings store(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"));
            insideWrite += QFile::exists(store.fileName() + QStringLiteral(".lock")) ? 1 : 0;
            journalLeft += store.contains(QStringLiteral("protocolLibraryJournal")) ? 1 : 0;
            checkWholeLibrary(&acknowledged);
            if (QTest::currentTestFailed())
                return;
        }
        qInfo() << insideWrite << "of" << Kills << "kills landed inside a write of the store;" << journalLeft << "left a journal";
        QVERIFY(insideWrite > 0);
        // Journaled saves are completed from the journal at the next start.
        QCOMPARE(journalLeft > 0, journaled);
    }

private:
    // Checks the store against the save sequence; the newest save it holds is acknowledged.
    void checkWholeLibrary(qint64 *acknowledged)
    {
        ProtocolLibrary library;
        QCOMPARE(library.protocolCount(), Methods);
        qint64 newest = std::numeric_limits<qint64>::min();
        qint64 oldest = std::numeric_limits<qint64>::max();
        QVariantMap method;
        for (const QVariant &entry : library.getAllProtocols()) {
            method = library.getProtocol(entry.toMap().value(QStringLiteral("id")).toString());
            const int index = method.value(QStringLiteral("name")).toString().mid(7).toInt();
            const qint64 save = method.value(QStringLiteral("description")).toLongLong();
            // Method i holds a save that belongs to it, with the steps of that very save.
            QCOMPARE(SaveSequence::methodIndex(save, Methods), index);
            QCOMPARE(QJsonArray::fromVariantList(method.value(QStringLiteral("commands")).toList()),
                     QJsonArray::fromVariantList(SaveSequence::stepsFor(save)));
            newest = qMax(newest, save);
            oldest = qMin(oldest, save);
        }
        // One save's worth of methods, no older and no newer: a whole library.
        QCOMPARE(newest - oldest, qint64(Methods - 1));
        // Every acknowledged save is there, and at most the one in progress besides.
        QVERIFY2(newest == *acknowledged || newest == *acknowledged + 1,
                 qPrintable(QStringLiteral("newest %1, acknowledged %2").arg(newest).arg(*acknowledged)));
        *acknowledged = newest;
        // The store takes a save after the kill (a lock left behind is no obstacle).
        QVERIFY(library.saveProtocol(method.value(QStringLiteral("id")).toString(), method.value(QStringLiteral("name")).toString(),
                                     method.value(QStringLiteral("description")).toString(), method.value(QStringLiteral("commands")).toList()));
    }


    std::unique_ptr<IsolatedEnvironment> m_env;
};


NERRA_TEST_MAIN(TestLibraryCrash)
#include "tst_librarycrash.moc"
