// Qt Quick Test runner for the interface's JavaScript modules (tst_*.qml beside this file).
// The modules are read from the compiled-in resources, exactly as the program loads them.

#include "isolatedenvironment.h"

#include <QObject>
#include <QtQuickTest>

class QmlTestSetup : public QObject
{
    Q_OBJECT

public:
    // Runs before the application object exists, as the sandbox requires.
    QmlTestSetup() { IsolatedEnvironment::prepareProcess(); }
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, QmlTestSetup)
#include "tst_qml.moc"
