#pragma once

// The set-up both fuzz targets share: an application object for the deferred deletes,
// and a message handler that keeps the readers' log lines off the fuzzer's output.

#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

inline void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

inline void startFuzzApplication()
{
    static int argc = 1;
    static char name[] = "nerra-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    qInstallMessageHandler(discardMessages);
}

inline void failOn(const QString &problem)
{
    if (problem.isEmpty())
        return;
    std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
    std::abort();
}
