// Lines per second through the process-wide handler with a LogManager attached. Standard
// error goes to /dev/null so the figure is the handler and buffer, not the terminal.

#include "app/logmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    constexpr int Lines = 100000;
    constexpr int Runs = 5;

    const int savedErr = ::dup(STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY);
    std::vector<double> rates;
    {
        LogManager manager;
        qInstallMessageHandler(LogManager::handleMessage);
        ::dup2(devNull, STDERR_FILENO);
        for (int run = 0; run < Runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < Lines; ++i)
                qDebug() << "USB: [PUT] line" << i << "of a method body";
            rates.push_back(Lines * 1e9 / double(timer.nsecsElapsed()));
        }
        ::dup2(savedErr, STDERR_FILENO);
        qInstallMessageHandler(nullptr);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("logging %d debug lines through the handler: median %.0f lines/s "
                "(min %.0f, max %.0f, %d runs)\n",
                Lines, rates[Runs / 2], rates.front(), rates.back(), Runs);
    return 0;
}
