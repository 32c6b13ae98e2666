#pragma once

// The real interface (qrc:/ui/Main.qml) with the real controllers, published the way
// start-up publishes them, in a sandbox of its own: create one per test case, so that
// every controller reads fresh settings and files. Offers the moves a user makes on it.

#include "isolatedenvironment.h"
#include "windowgrabber.h"

#include "app/filedialoghelper.h"
#include "app/logmanager.h"
#include "app/mfgmanager.h"
#include "app/updatemanager.h"
#include "devices/ble/blemanager.h"
#include "devices/devicemanager.h"
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

#include "simulatedbleradio.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

class UiHarness
{
public:
    UiHarness()
    {
        // No Wi-Fi reader in tests: manufacturing mode comes only from the PIN.
        mfg.setSsidProgram(QStringLiteral("/nonexistent/nerra-no-ssid-reader"));
        builder.setLibrary(&library);
        // The radio is simulated; its waits are a test's, its pacing nearly none.
        BleTimings timings;
        timings.scan = 500;
        timings.connect = 500;
        timings.setup = 1000;
        timings.rpaReconnect = 50;
        timings.chunk = 5;
        timings.saveConfirm = 300;
        ble.setTimings(timings);
        ota.setSerialManager(&serial);
        ota.setFirmwareCatalog(&catalog);
        qaPdf.setMfgManager(&mfg);
    }

    bool load()
    {
        engine = std::make_unique<QQmlApplicationEngine>();
        const QList<QPair<const char *, QObject *>> controllers = {
            {"protocolLibrary", &library}, {"protocolBuilder", &builder}, {"deviceManager", &devices}, {"bleManager", &ble}, {"logManager", &log},
            {"fileDialogHelper", &files}, {"serialManager", &serial}, {"mfgManager", &mfg}, {"calibrationPdf", &pdf}, {"deviceProtocolStore", &store},
            {"bootstrapManager", &boot}, {"updateManager", &updates}, {"otaManager", &ota}, {"firmwareCatalog", &catalog},
            {"certificationManager", &certs}, {"certificationPdf", &qaPdf}};
        for (const auto &controller : controllers)
            engine->rootContext()->setContextProperty(QString::fromLatin1(controller.first), controller.second);
        engine->rootContext()->setContextProperty(QStringLiteral("buildVersion"), QStringLiteral("v1.5.0"));
        engine->rootContext()->setContextProperty(QStringLiteral("buildTimestamp"), QStringLiteral("2026-10-14 10:00:17"));
        engine->load(QUrl(QStringLiteral("qrc:/ui/Main.qml")));
        window = engine->rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
        if (!window)
            return false;
        window->show();
        window->requestActivate();
        return QTest::qWaitForWindowExposed(window) && QTest::qWaitForWindowActive(window);
    }
    bool openLibraryTab()
    {
        return load() && click(QStringLiteral("tab_Protocol Library")) && QTest::qWaitFor([this] { return item(QStringLiteral("libraryList")); });
    }

    // SPL text in a file of the sandbox, as a user keeps one; returns its path.
    QString splFile(const QString &name, const QString &steps)
    {
        QFile out(env.home() + QStringLiteral("/method.spl"));
        const QByteArray text = (QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n") + steps).toUtf8();
        return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() ? out.fileName() : QString();
    }
    QString addMethod(const QString &name, const QString &steps) { return library.importFromSplFile(splFile(name, steps)); }

    // Saves a picture of the window for a person to look at when NERRA_SCREENSHOT_DIR is
    // set; false only when that picture could not be taken.
    bool shoot(const QString &name, QWindow *other = nullptr) const
    {
        settle();
        const QString dir = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
        return dir.isEmpty() || saveWindowPng(other ? other : window, dir + QLatin1Char('/') + name + QStringLiteral(".png"));
    }

    // Depth-first over both the object tree and the visual tree, so that delegates,
    // popup contents and pages are all found; only visible items when `visibleOnly`.
    QObject *find(const QString &name, QObject *under = nullptr, bool visibleOnly = true) const
    {
        if (QObject *found = search(under ? under : window, name, visibleOnly))
            return found;
        return under ? nullptr : search(window->contentItem()->parentItem(), name, visibleOnly);
    }
    QQuickItem *item(const QString &name, QObject *under = nullptr) const { return qobject_cast<QQuickItem *>(find(name, under)); }
    QString text(const QString &name, QObject *under = nullptr) const
    {
        return item(name, under) ? item(name, under)->property("text").toString() : QStringLiteral("<no visible %1>").arg(name);
    }
    // All visible items of that name, in tree order.
    QList<QQuickItem *> items(const QString &name, QQuickItem *under = nullptr) const
    {
        QList<QQuickItem *> result;
        QList<QQuickItem *> pending{under ? under : window->contentItem()};
        while (!pending.isEmpty()) {
            QQuickItem *node = pending.takeLast();
            if (node->isVisible() && node->objectName() == name)
                result << node;
            for (int i = node->isVisible() ? node->childItems().size() - 1 : -1; i >= 0; --i)
                pending << node->childItems().at(i);
        }
        return result;
    }
    // The visible item of that name whose `property` holds `value` (a card for its method).
    QQuickItem *itemWith(const QString &name, const char *property, const QVariant &value) const
    {
        for (QQuickItem *candidate : items(name)) {
            if (candidate->property(property) == value)
                return candidate;
        }
        return nullptr;
    }
    // A popup (dialog, menu) is an object, not an item: open means visible.
    QObject *popup(const QString &name) const { return find(name, nullptr, false); }
    bool isOpen(const QString &name) const { return popup(name) && popup(name)->property("visible").toBool(); }
    // Waits for the dialog, presses one of its buttons and waits until it has closed.
    bool answer(const QString &dialog, const QString &button) const
    {
        return QTest::qWaitFor([&] { return isOpen(dialog); }) && click(button, popup(dialog))
               && QTest::qWaitFor([&] { return !isOpen(dialog); });
    }
    QObject *currentPage() const
    {
        QObject *stack = find(QStringLiteral("pageStack"));
        return stack ? stack->property("currentItem").value<QObject *>() : nullptr;
    }
    QString currentPageName() const { return currentPage() ? currentPage()->objectName() : QString(); }

    // Lets pending layout settle by waiting for a rendered frame; a page stack in
    // transition takes no input.
    void settle() const
    {
        QObject *stack = find(QStringLiteral("pageStack"));
        if (stack && !QTest::qWaitFor([stack] { return !stack->property("busy").toBool(); }, 3000))
            qWarning() << "UiHarness: the page stack stayed busy";
        QSignalSpy frames(window, &QQuickWindow::frameSwapped);
        window->update();
        frames.wait(1000);
    }
    bool click(const QString &name, QObject *under = nullptr) const
    {
        settle();
        return click(item(name, under));
    }
    bool click(QQuickItem *item) const
    {
        QPointer<QQuickItem> target(item);
        settle();
        if (!target || !target->isVisible() || !target->isEnabled())
            return false;
        // A user scrolls to what they click.
        for (QQuickItem *view = target->parentItem(); view; view = view->parentItem()) {
            auto *content = view->inherits("QQuickFlickable") ? view->property("contentItem").value<QQuickItem *>() : nullptr;
            if (!content)
                continue;
            const qreal top = target->mapToItem(content, QPointF(0, 0)).y();
            const qreal shown = view->property("contentY").toReal();
            if (top < shown || top + target->height() > shown + view->height())
                view->setProperty("contentY", qMax<qreal>(0, top + target->height() - view->height() + 8));
            settle();
        }
        // Sent straight to the window: unlike QTest's, two clicks on one spot never turn
        // into a double click.
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        mouse(QEvent::MouseButtonPress, centre, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, centre, Qt::NoButton);
        return true;
    }
    void mouse(QEvent::Type type, QPointF at, Qt::MouseButtons buttons) const
    {
        QMouseEvent event(type, at, at, window->mapToGlobal(at.toPoint()), Qt::LeftButton, buttons, Qt::NoModifier);
        QGuiApplication::sendEvent(window, &event);
    }
    void type(QQuickItem *field, const QString &text) const
    {
        field->forceActiveFocus();
        QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(window, Qt::Key_Delete);
        typeText(text);
    }
    // Key events carrying the characters, as a keyboard sends them to the focus item.
    void typeText(const QString &text) const
    {
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
            QGuiApplication::sendEvent(window, &press);
            QGuiApplication::sendEvent(window, &release);
        }
    }
    void key(Qt::Key key) const { QTest::keyClick(window, key); }

    // Answers the next file dialog from inside its own event loop, as a user would: types
    // `path` into the name field and presses Return, or cancels when `path` is empty.
    static void answerNextFileDialog(const QString &path, QString *title = nullptr)
    {
        auto *poll = new QTimer;
        auto polls = std::make_shared<int>(0);
        QObject::connect(poll, &QTimer::timeout, poll, [=] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            auto *nameField = dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
            // Keys typed before the dialog has the focus are lost.
            const bool ready = dialog && dialog->isVisible() && nameField && nameField->hasFocus();
            if (!ready && ++*polls < 2000)
                return;
            poll->deleteLater();
            poll->stop();
            if (dialog && title)
                *title = dialog->windowTitle();
            if (!ready || path.isEmpty())
                return dialog ? dialog->reject() : void();
            nameField->selectAll();
            QTest::keyClicks(nameField, path);
            QTest::keyClick(nameField, Qt::Key_Return);
        });
        poll->start(5);
    }

    // First of all: the controllers read their settings under these names when built.
    const bool named = (QCoreApplication::setOrganizationName(QStringLiteral("Vellora")),
                        QCoreApplication::setApplicationName(QStringLiteral("Nerra")), true);
    IsolatedEnvironment env;   // and every controller reads from here
    LogManager log;
    ProtocolLibrary library;
    ProtocolBuilder builder;
    DeviceManager devices;
    SimulatedBleRadio radio;   // no instrument on the air until a test adds one
    BleManager ble{&devices, nullptr, &radio};
    FileDialogHelper files;
    SerialManager serial;   // never told that USB is offered, so it leaves the ports alone
    MfgManager mfg;
    CalibrationPdf pdf;
    DeviceProtocolStore store;
    BootstrapManager boot;
    UpdateManager updates;
    FirmwareCatalog catalog;
    OtaManager ota;
    CertificationManager certs;
    CertificationPdf qaPdf;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;

private:
    static QObject *search(QObject *node, const QString &name, bool visibleOnly)
    {
        auto *asItem = qobject_cast<QQuickItem *>(node);
        if (!node || (visibleOnly && asItem && !asItem->isVisible()))
            return nullptr;
        if (node->objectName() == name)
            return node;
        QObjectList children = node->children();
        for (QQuickItem *child : asItem ? asItem->childItems() : QList<QQuickItem *>())
            children << (child->parent() == node ? nullptr : child);   // object children are there already
        for (QObject *child : qAsConst(children)) {
            if (QObject *found = child ? search(child, name, visibleOnly) : nullptr)
                return found;
        }
        return nullptr;
    }
};
