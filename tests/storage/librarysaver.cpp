// Saves the method library in an endless loop, printing "saved <k>" after each save, for
// the test that kills it in the middle of one.
// Usage: librarysaver <settings folder> <method count> <journaled: 0 or 1>

#include "savesequence.h"
#include "storage/protocollibrary.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSettings>
#include <QVector>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc < 4 ? 0 : std::atoi(argv[2]);
    if (count < 1)
        return 2;
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QString::fromLocal8Bit(argv[1]));
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    ProtocolLibrary library;
    library.setJournaledSaves(argv[3][0] == '1');

    // Carry on from whatever the store holds; a first run starts every method at a
    // negative save number, so the sequence holds from the start.
    QVector<QString> ids(count);
    qint64 next = 0;
    for (const QVariant &entry : library.getAllProtocols()) {
        const QVariantMap map = entry.toMap();
        const int index = map.value(QStringLiteral("name")).toString().mid(7).toInt();
        if (index >= 0 && index < count)
            ids[index] = map.value(QStringLiteral("id")).toString();
        next = qMax(next, map.value(QStringLiteral("description")).toLongLong() + 1);
    }
    for (int i = 0; i < count; ++i) {
        if (!ids.at(i).isEmpty())
            continue;
        const qint64 save = i - count;
        ids[i] = library.createProtocol(SaveSequence::methodName(i));
        if (ids.at(i).isEmpty()
            || !library.saveProtocol(ids.at(i), SaveSequence::methodName(i), QString::number(save), SaveSequence::stepsFor(save), false))
            return 1;
    }
    std::printf("ready %lld\n", static_cast<long long>(next));
    std::fflush(stdout);

    for (qint64 save = next;; ++save) {
        const int index = SaveSequence::methodIndex(save, count);
        if (!library.saveProtocol(ids.at(index), SaveSequence::methodName(index), QString::number(save), SaveSequence::stepsFor(save), false))
            return 1;
        std::printf("saved %lld\n", static_cast<long long>(save));
        std::fflush(stdout);
    }
}
