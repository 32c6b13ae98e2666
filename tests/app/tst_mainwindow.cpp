// The main window as the interface loads it from the resources.

#include "testmain.h"
#include "windowgrabber.h"

#include "app/filedialoghelper.h"
#include "app/logmanager.h"
#include "app/mfgmanager.h"
#include "devices/devicemanager.h"
#include "editor/protocolbuilder.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSettings>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
        QCoreApplication::setApplicationName(QStringLiteral("Nerra"));
    }
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup()
    {
        m_mfg.reset();
        m_files.reset();
        m_devices.reset();
        m_store.reset();
        m_builder.reset();
        m_library.reset();
        m_log.reset();
        m_env.reset();
    }

    void windowIsFixedSizeAndTitled();
    void positionIsRestoredAndStored();
    void rendersToAPicture();

private:
    std::unique_ptr<QQmlApplicationEngine> load();
    static QQuickWindow *window(QQmlApplicationEngine &engine);
    std::unique_ptr<IsolatedEnvironment> m_env;
    // The controllers the window reaches, made fresh for every engine.
    std::unique_ptr<LogManager> m_log;
    std::unique_ptr<ProtocolLibrary> m_library;
    std::unique_ptr<ProtocolBuilder> m_builder;
    std::unique_ptr<DeviceProtocolStore> m_store;
    std::unique_ptr<DeviceManager> m_devices;
    std::unique_ptr<FileDialogHelper> m_files;
    std::unique_ptr<MfgManager> m_mfg;
};

std::unique_ptr<QQmlApplicationEngine> TestMainWindow::load()
{
    m_log = std::make_unique<LogManager>();
    m_library = std::make_unique<ProtocolLibrary>();
    m_builder = std::make_unique<ProtocolBuilder>();
    m_builder->setLibrary(m_library.get());
    m_store = std::make_unique<DeviceProtocolStore>();
    m_devices = std::make_unique<DeviceManager>();
    m_files = std::make_unique<FileDialogHelper>();
    m_mfg = std::make_unique<MfgManager>();
    auto engine = std::make_unique<QQmlApplicationEngine>();
    QQmlContext *context = engine->rootContext();
    context->setContextProperty(QStringLiteral("buildVersion"), QStringLiteral("v9.9.9"));
    context->setContextProperty(QStringLiteral("buildTimestamp"), QStringLiteral("2026-01-01 00:00:00"));
    context->setContextProperty(QStringLiteral("logManager"), m_log.get());
    context->setContextProperty(QStringLiteral("protocolLibrary"), m_library.get());
    context->setContextProperty(QStringLiteral("protocolBuilder"), m_builder.get());
    context->setContextProperty(QStringLiteral("deviceProtocolStore"), m_store.get());
    context->setContextProperty(QStringLiteral("deviceManager"), m_devices.get());
    context->setContextProperty(QStringLiteral("fileDialogHelper"), m_files.get());
    context->setContextProperty(QStringLiteral("mfgManager"), m_mfg.get());
    engine->load(QUrl(QStringLiteral("qrc:/ui/Main.qml")));
    return engine;
}

QQuickWindow *TestMainWindow::window(QQmlApplicationEngine &engine)
{
    return engine.rootObjects().isEmpty() ? nullptr
                                          : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
}

void TestMainWindow::windowIsFixedSizeAndTitled()
{
    auto engine = load();
    QQuickWindow *main = window(*engine);
    QVERIFY(main);
    QCOMPARE(main->title(), QStringLiteral("Nerra Desktop"));
    QCOMPARE(main->size(), QSize(1250, 800));
    QCOMPARE(main->minimumSize(), QSize(1250, 800));
    QCOMPARE(main->maximumSize(), QSize(1250, 800));
}

void TestMainWindow::positionIsRestoredAndStored()
{
    {
        QSettings settings;
        settings.setValue(QStringLiteral("MainWindow/x"), 120);
        settings.setValue(QStringLiteral("MainWindow/y"), 90);
    }
    auto engine = load();
    QQuickWindow *main = window(*engine);
    QVERIFY(main);
    QCOMPARE(main->position(), QPoint(120, 90));

    main->setX(300);
    main->setY(40);
    QTRY_COMPARE(QSettings().value(QStringLiteral("MainWindow/x")).toInt(), 300);
    QTRY_COMPARE(QSettings().value(QStringLiteral("MainWindow/y")).toInt(), 40);
}

void TestMainWindow::rendersToAPicture()
{
    auto engine = load();
    QQuickWindow *main = window(*engine);
    QVERIFY(main);
    const QImage image = grabShownWindow(main);
    QCOMPARE(image.size(), QSize(1250, 800));
    // Something was drawn: the title and icon make the picture far from one colour.
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7)
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    QVERIFY2(colours.size() > 10, qPrintable(QString::number(colours.size())));
    const QString dir = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        QVERIFY(image.save(dir + QStringLiteral("/mainwindow.png")));
}

NERRA_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
