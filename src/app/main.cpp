// Start-up and wiring: one instance per user, every controller created once in a fixed
// order, published to the interface, then the event loop.

#include "app/buildinfo.h"
#include "app/filedialoghelper.h"
#include "app/logmanager.h"
#include "devices/devicemanager.h"
#include "devices/devicestorecleaner.h"
#include "app/mfgmanager.h"
#include "app/simulation.h"
#include "app/startupwiring.h"
#include "app/updatemanager.h"
#include "devices/ble/blemanager.h"
#include "devices/serial/serialmanager.h"
#include "documents/calibrationpdf.h"
#include "documents/certificationmanager.h"
#include "documents/certificationpdf.h"
#include "editor/protocolbuilder.h"
#include "firmware/bootstrapmanager.h"
#include "firmware/firmwarecatalog.h"
#include "firmware/otamanager.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QIcon>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QTimer>

#include <memory>
#include <utility>
#include <vector>

namespace {

const QString InstanceServerName = QStringLiteral("NerraDesktopInstance");
const QString LockFileName = QStringLiteral("nerra-desktop.lock");

// Tells the running instance to come to the front. It does not read the bytes: any
// connection raises its window.
void notifyRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(InstanceServerName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(500))
        return;
    socket.write("raise");
    socket.flush();
    socket.waitForBytesWritten(500);
}

QVariant object(QObject *controller)
{
    return QVariant::fromValue(controller);
}

} // namespace

int main(int argc, char *argv[])
{
    QElapsedTimer sinceStart;
    sinceStart.start();

    QCoreApplication::setAttribute(Qt::AA_UseOpenGLES);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("vellora.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Nerra"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/app-icon.png")));

    // The lock's age alone never makes it stale; a lock left by a dead process is
    // recognised by its process id.
    const QString lockPath = QDir(QDir::tempPath()).filePath(LockFileName);
    QLockFile lock(lockPath);
    lock.setStaleLockTime(0);
    if (!lock.tryLock(100)) {
        if (lock.error() == QLockFile::LockFailedError) {
            notifyRunningInstance();
            return 0;
        }
        // The lock could not even be written (a temporary folder that is not writable or
        // holds another user's file): better to run unguarded than to quit as if another
        // instance were running.
        qWarning() << "Main: cannot take the single-instance lock" << lockPath
                   << "— starting without it";
    }
    // Only reached when no live instance holds the lock, so a socket left by a crashed
    // instance can be removed safely.
    QLocalServer::removeServer(InstanceServerName);
    QLocalServer instanceServer;
    instanceServer.listen(InstanceServerName);

    // Controllers, in creation order; each lives until the event loop returns.
    LogManager logManager;
    qInstallMessageHandler(LogManager::handleMessage);
    ProtocolLibrary protocolLibrary;
    ProtocolBuilder protocolBuilder;
    DeviceManager deviceManager;
    const bool simulate = QCoreApplication::arguments().contains(QStringLiteral("--simulate"));
    BleManager bleManager(&deviceManager, nullptr, simulate ? simulatedBleRadio() : nullptr);
    DeviceProtocolStore deviceProtocolStore;
    FileDialogHelper fileDialogHelper;
    SerialManager serialManager;
    MfgManager mfgManager;
    CalibrationPdf calibrationPdf;
    BootstrapManager bootstrapManager;
    UpdateManager updateManager;
    OtaManager otaManager;
    FirmwareCatalog firmwareCatalog;
    otaManager.setSerialManager(&serialManager);
    otaManager.setFirmwareCatalog(&firmwareCatalog);
    qmlRegisterUncreatableType<OtaManager>("Nerra", 1, 0, "OtaManager", QStringLiteral("otaManager is a context property"));
    CertificationManager certificationManager;
    CertificationPdf certificationPdf;

    protocolBuilder.setLibrary(&protocolLibrary);
    calibrationPdf.setMfgManager(&mfgManager);
    certificationPdf.setMfgManager(&mfgManager);
    StartupWiring::feedUsbAvailability(mfgManager, serialManager);
    StartupWiring::feedMfgMode(mfgManager, updateManager);
    // A forgotten instrument takes its cached protocols with it.
    DeviceStoreCleaner::connect(&deviceManager, &deviceProtocolStore, [&deviceProtocolStore](const QString &hardwareId) {
        deviceProtocolStore.clearDevice(hardwareId);
    });
    if (simulate) {
        startSimulatedInstrument(serialManager, bootstrapManager);
        // So that the demo instrument shows on both links without a click.
        QTimer::singleShot(0, &bleManager, &BleManager::startScan);
    }

    QQmlApplicationEngine engine;
    const std::vector<std::pair<const char *, QVariant>> contextProperties = {
        {"buildVersion", QStringLiteral(NERRA_BUILD_VERSION)},
        {"buildTimestamp", QStringLiteral(NERRA_BUILD_TIMESTAMP)},
        {"protocolLibrary", object(&protocolLibrary)},
        {"protocolBuilder", object(&protocolBuilder)},
        {"deviceManager", object(&deviceManager)},
        {"bleManager", object(&bleManager)},
        {"logManager", object(&logManager)},
        {"fileDialogHelper", object(&fileDialogHelper)},
        {"serialManager", object(&serialManager)},
        {"mfgManager", object(&mfgManager)},
        {"calibrationPdf", object(&calibrationPdf)},
        {"deviceProtocolStore", object(&deviceProtocolStore)},
        {"bootstrapManager", object(&bootstrapManager)},
        {"updateManager", object(&updateManager)},
        {"otaManager", object(&otaManager)},
        {"firmwareCatalog", object(&firmwareCatalog)},
        {"certificationManager", object(&certificationManager)},
        {"certificationPdf", object(&certificationPdf)},
    };
    for (const auto &[name, value] : contextProperties)
        engine.rootContext()->setContextProperty(QString::fromLatin1(name), value);
    engine.load(QUrl(QStringLiteral("qrc:/ui/Main.qml")));
    if (engine.rootObjects().isEmpty())
        return -1;

    updateManager.checkOnStartup();
    QPointer<QQuickWindow> mainWindow = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    QObject::connect(&instanceServer, &QLocalServer::newConnection, &instanceServer, [&] {
        if (QLocalSocket *connection = instanceServer.nextPendingConnection())
            connection->deleteLater();
        qDebug() << "Main: raise requested by another instance";
        if (mainWindow) {
            mainWindow->show();
            mainWindow->raise();
            mainWindow->requestActivate();
        }
    });
    if (mainWindow) {
        auto connection = std::make_shared<QMetaObject::Connection>();
        *connection = QObject::connect(mainWindow, &QQuickWindow::frameSwapped, mainWindow, [connection, sinceStart] {
            QObject::disconnect(*connection);
            qDebug() << "Main: first frame after" << sinceStart.elapsed() << "ms";
        });
    }

    return app.exec();
}
