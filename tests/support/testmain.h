#pragma once

#include "isolatedenvironment.h"

#include <QApplication>
#include <QTest>

// QTEST_MAIN with the process sandboxed before the application object exists.
#define NERRA_TEST_MAIN(TestObject)                                   \
    int main(int argc, char *argv[])                                  \
    {                                                                 \
        IsolatedEnvironment::prepareProcess();                        \
        QApplication app(argc, argv);                                 \
        app.setAttribute(Qt::AA_Use96Dpi, true);                      \
        TestObject tc;                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                    \
        return QTest::qExec(&tc, argc, argv);                         \
    }
