// Importing QA workbooks: a balance export of five points by ten readings, and a busy
// export of just under 1 MiB (the readings among thousands of other rows), timed in this
// process (median of several runs); then hostile workbooks, each refused in a fresh child
// process whose time and peak resident size (VmHWM) are measured around the import alone.

#include "documents/certificationmanager.h"
#include "isolatedenvironment.h"
#include "peakresident.h"
#include "testfiles.h"
#include "testzip.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int Runs = 21;

QByteArray cell(const char *column, int row, const QByteArray &value)
{
    return "<c r=\"" + QByteArray(column) + QByteArray::number(row) + "\"><v>" + value + "</v></c>";
}

// Five points by ten readings in columns C, G and K, after `filler` rows of other numbers
// in all eleven columns.
QByteArray exportRows(int filler)
{
    QByteArray xml;
    int r = 0;
    quint32 noise = 12345;
    for (int i = 0; i < filler; ++i) {
        ++r;
        xml += "<row r=\"" + QByteArray::number(r) + "\">";
        for (const char *column : {"A", "B", "D", "E", "F", "H", "I", "J"}) {
            noise = noise * 1103515245u + 12345u;
            xml += cell(column, r, QByteArray::number((noise >> 8) % 1000000 / 1000.0, 'f', 3));
        }
        xml += "</row>";
    }
    for (int cp : {1, 20, 200, 100, 1000}) {
        for (int rep = 0; rep < 10; ++rep) {
            ++r;
            xml += "<row r=\"" + QByteArray::number(r) + "\">" + cell("C", r, QByteArray::number(cp))
                   + cell("G", r, QByteArray::number(cp / 1.003 * (1 + (rep - 5) * 0.0002), 'f', 4)) + cell("K", r, "1.003")
                   + "</row>";
        }
    }
    return xml;
}

double medianImportMs(const QString &path)
{
    std::vector<double> ms;
    for (int i = 0; i < Runs; ++i) {
        CertificationManager manager;
        QElapsedTimer timer;
        timer.start();
        const QVariantMap result = manager.importFile(path);
        ms.push_back(timer.nsecsElapsed() / 1e6);
        if (!result.value(QStringLiteral("ok")).toBool())
            std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(result.value(QStringLiteral("error")).toString()));
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The child: one import, its time and the peak resident size before and after it.
int importOnce(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    CertificationManager manager;
    const long before = peakResidentKiB();
    QElapsedTimer timer;
    timer.start();
    const QVariantMap result = manager.importFile(QString::fromLocal8Bit(argv[2]));
    const double ms = timer.nsecsElapsed() / 1e6;
    std::printf("%.2f %ld %ld %s\n", ms, before, peakResidentKiB(), result.value(QStringLiteral("ok")).toBool() ? "read" : "refused");
    return 0;
}

QList<QPair<const char *, QByteArray>> hostileWorkbooks()
{
    using TestZip::Part;
    QList<Part> bomb = TestZip::workbook(exportRows(0));
    bomb[2].payload = TestZip::deflatedRepeats("", QByteArray(1, '\0'), 64 * 1024 * 1024, &bomb[2].crc);
    bomb[2].size = 32 * 1024 * 1024;
    // Well-formed all the way and as large as a part may be: refused only at its end.
    QList<Part> rows = TestZip::workbook(exportRows(0));
    rows[2].size = 32 * 1024 * 1024;
    rows[2].payload = TestZip::deflatedRepeats("<worksheet><sheetData>", "<row><c r=\"G1\"><v>1</v></c></row>", rows[2].size, &rows[2].crc);
    QList<Part> declared = TestZip::workbook(exportRows(0));
    declared[2].size = 0x80000000u;
    QList<Part> many = TestZip::workbook(exportRows(0));
    for (int i = 0; i < 10000; ++i)
        many << TestZip::part("xl/media/" + QByteArray::number(i), "", 0);
    QList<Part> laughs = TestZip::workbook(exportRows(0));
    QByteArray entities = "<!ENTITY a0 \"lol\">";
    for (int i = 1; i < 10; ++i)
        entities += "<!ENTITY a" + QByteArray::number(i) + " \"" + QByteArray("&a" + QByteArray::number(i - 1) + ";").repeated(10) + "\">";
    laughs[0] = TestZip::part(laughs[0].name, "<!DOCTYPE w [" + entities + "]><workbook><sheets><sheet name=\"&a9;\"/></sheets></workbook>");
    return {{"inflates to 64 MiB, says 32 MiB", TestZip::archive(bomb)},
            {"32 MiB of rows without a point", TestZip::archive(rows)},
            {"says 2 GB", TestZip::archive(declared)},
            {"10 003 entries", TestZip::archive(many)},
            {"a billion laughs", TestZip::archive(laughs)}};
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 2 && std::strcmp(argv[1], "--import") == 0)
        return importOnce(argc, argv);

    IsolatedEnvironment::prepareProcess();
    QCoreApplication app(argc, argv);
    IsolatedEnvironment sandbox;

    const QString small = sandbox.root() + QStringLiteral("/A-NS-CFD10E-20261207.xlsx");
    const QString busy = sandbox.root() + QStringLiteral("/A-NS-BUSY-20261207.xlsx");
    const QList<QPair<QString, int>> exports{{small, 4}, {busy, 14500}};
    std::printf("import, median of %d runs:\n", Runs);
    for (const auto &file : exports) {
        const QList<TestZip::Part> parts = TestZip::workbook(exportRows(file.second));
        writeFile(file.first, TestZip::archive(parts));
        std::printf("  %-26s %8lld B (sheet XML %8u B)  %7.2f ms\n", qPrintable(file.first.section('/', -1)),
                    QFile(file.first).size(), parts[2].size, medianImportMs(file.first));
    }

    std::printf("hostile workbooks, one child process each (time of the import; peak resident before -> after):\n");
    bool allRefused = true;
    for (const auto &hostile : hostileWorkbooks()) {
        const QString path = sandbox.root() + QStringLiteral("/hostile.xlsx");
        writeFile(path, hostile.second);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--import"), path});
        child.waitForFinished(60000);
        const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
        if (figures.size() != 4) {
            std::fprintf(stderr, "%s: the child said nothing\n", hostile.first);
            return 1;
        }
        allRefused = allRefused && figures[3] == "refused";
        std::printf("  %-34s %8d B  %7s ms  %6s -> %6s KiB  %s\n", hostile.first, int(hostile.second.size()), figures[0].constData(),
                    figures[1].constData(), figures[2].constData(), figures[3].constData());
    }
    return allRefused ? 0 : 1;
}
