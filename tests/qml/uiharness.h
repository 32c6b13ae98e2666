#pragma once

// The real interface (qrc:/ui/Main.qml) with the real controllers, published the way
// start-up publishes them, in a sandbox of its own: create one per test case, so that
// every controller reads fresh settings and files. Offers the moves a user makes on it.

#include "isolatedenvironment.h"
#include "windowgrabber.h"

#include "app/filedialoghelper.h"
#include "app/logmanager.h"
#include "app/mfgmanager.h"
#include "devices/devicemanager.h"
#include "devices/serial/serialmanager.h"
#include "editor/protocolbuilder.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

// Before any member: the controllers read their settings under these names when built.
struct UiApplicationNames
{
    UiApplicationNames()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Vellora"));
        QCoreApplication::setApplicationName(QStringLiteral("Nerra"));
    }
};

class UiHarness : private UiApplicationNames
{
public:
    UiHarness()
    {
        // No Wi-Fi reader in tests: manufacturing mode comes only from the PIN.
        mfg.setSsidProgram(QStringLiteral("/nonexistent/nerra-no-ssid-reader"));
        builder.setLibrary(&library);
    }

    bool load()
    {
        engine = std::make_unique<QQmlApplicationEngine>();
        QQmlContext *context = engine->rootContext();
        context->setContextProperty(QStringLiteral("buildVersion"), QStringLiteral("v1.5.0"));
        context->setContextProperty(QStringLiteral("buildTimestamp"), QStringLiteral("2026-10-14 10:00:17"));
        context->setContextProperty(QStringLiteral("protocolLibrary"), &library);
        context->setContextProperty(QStringLiteral("protocolBuilder"), &builder);
        context->setContextProperty(QStringLiteral("deviceManager"), &devices);
        context->setContextProperty(QStringLiteral("logManager"), &log);
        context->setContextProperty(QStringLiteral("fileDialogHelper"), &files);
        context->setContextProperty(QStringLiteral("serialManager"), &serial);
        context->setContextProperty(QStringLiteral("mfgManager"), &mfg);
        context->setContextProperty(QStringLiteral("deviceProtocolStore"), &store);
        engine->load(QUrl(QStringLiteral("qrc:/ui/Main.qml")));
        window = engine->rootObjects().isEmpty() ? nullptr
                                                 : qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
        if (!window)
            return false;
        window->show();
        window->requestActivate();
        return QTest::qWaitForWindowExposed(window) && QTest::qWaitForWindowActive(window);
    }
    bool openLibraryTab()
    {
        return load() && click(QStringLiteral("tab_Protocol Library"))
               && QTest::qWaitFor([this] { return item(QStringLiteral("libraryList")); });
    }

    // SPL text in a file of the sandbox, as a user keeps one; returns its path.
    QString splFile(const QString &name, const QString &steps, const QString &file = QStringLiteral("method.spl"))
    {
        QFile out(env.home() + QLatin1Char('/') + file);
        const QByteArray text = (QStringLiteral("protocol name: ") + name + QStringLiteral("\n\n") + steps).toUtf8();
        return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() ? out.fileName() : QString();
    }
    QString addMethod(const QString &name, const QString &steps) { return library.importFromSplFile(splFile(name, steps)); }

    // Saves a picture of the window for a person to look at when NERRA_SCREENSHOT_DIR
    // is set; false only when that picture could not be taken.
    bool shoot(const QString &name, QWindow *other = nullptr) const
    {
        settle();
        const QString dir = qEnvironmentVariable("NERRA_SCREENSHOT_DIR");
        return dir.isEmpty() || saveWindowPng(other ? other : window, QDir(dir).filePath(name + QStringLiteral(".png")));
    }

    // Depth-first over both the object tree and the visual tree, so that delegates,
    // popup contents and pages are all found; only visible items when `visibleOnly`.
    QObject *find(const QString &name, QObject *under = nullptr, bool visibleOnly = true) const
    {
        if (QObject *found = search(under ? under : window, name, visibleOnly))
            return found;
        return under ? nullptr : search(window->contentItem()->parentItem(), name, visibleOnly);
    }
    QQuickItem *item(const QString &name, QObject *under = nullptr) const
    {
        return qobject_cast<QQuickItem *>(find(name, under));
    }
    QList<QQuickItem *> items(const QString &name, QQuickItem *under = nullptr) const
    {
        QList<QQuickItem *> result;
        collect(under ? under : window->contentItem(), name, &result);
        return result;
    }
    // A popup (dialog, menu) is an object, not an item: open means visible.
    QObject *popup(const QString &name) const { return find(name, nullptr, false); }
    bool isOpen(const QString &name) const
    {
        QObject *object = popup(name);
        return object && object->property("visible").toBool();
    }
    QObject *currentPage() const
    {
        QObject *stack = find(QStringLiteral("pageStack"));
        return stack ? stack->property("currentItem").value<QObject *>() : nullptr;
    }
    QString currentPageName() const
    {
        QObject *page = currentPage();
        return page ? page->objectName() : QString();
    }

    // Lets pending layout settle by waiting for a rendered frame; a page stack in
    // transition takes no input.
    void settle() const
    {
        if (QObject *stack = find(QStringLiteral("pageStack")))
            if (!QTest::qWaitFor([stack] { return !stack->property("busy").toBool(); }, 3000))
                qWarning() << "UiHarness: the page stack stayed busy";
        QSignalSpy frames(window, &QQuickWindow::frameSwapped);
        window->update();
        frames.wait(1000);
    }
    bool click(QQuickItem *item) const
    {
        QPointer<QQuickItem> target(item);
        settle();
        if (!target || !target->isVisible() || !target->isEnabled())
            return false;
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        press(centre);
        release(centre);
        return true;
    }
    bool click(const QString &name, QObject *under = nullptr) const
    {
        settle();
        QQuickItem *target = item(name, under);
        if (!target)
            qWarning() << "UiHarness: no visible item" << name;
        return click(target);
    }
    // Sent straight to the window: unlike QTest's, two clicks on one spot never turn
    // into a double click.
    void press(QPointF at) const { mouse(QEvent::MouseButtonPress, at, Qt::LeftButton); }
    void move(QPointF at) const { mouse(QEvent::MouseMove, at, Qt::LeftButton); }
    void release(QPointF at) const { mouse(QEvent::MouseButtonRelease, at, Qt::NoButton); }
    void mouse(QEvent::Type type, QPointF at, Qt::MouseButtons buttons) const
    {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, at, window->mapToGlobal(at.toPoint()), button, buttons, Qt::NoModifier);
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
            QGuiApplication::sendEvent(window, &press);
            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
            QGuiApplication::sendEvent(window, &release);
        }
    }
    void key(Qt::Key key) const { QTest::keyClick(window, key); }

    // Answers the next file dialog from inside its own event loop, as a user would: types
    // `path` into the name field and presses Return, or cancels when `path` is empty.
    // `title` receives the dialog's title.
    static void answerNextFileDialog(const QString &path, QString *title = nullptr)
    {
        auto *poll = new QTimer;
        poll->setInterval(5);
        auto polls = std::make_shared<int>(0);
        QObject::connect(poll, &QTimer::timeout, poll, [=] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            auto *nameField = dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
            // Keys typed before the dialog has the focus are lost.
            const bool ready = dialog && dialog->isVisible() && nameField && nameField->hasFocus();
            if (!ready && ++*polls < 2000)
                return;
            poll->stop();
            poll->deleteLater();
            if (!dialog)
                return;
            if (title)
                *title = dialog->windowTitle();
            if (!ready || path.isEmpty())
                return dialog->reject();
            nameField->selectAll();
            QTest::keyClick(nameField, Qt::Key_Delete);
            QTest::keyClicks(nameField, path);
            QTest::keyClick(nameField, Qt::Key_Return);
        });
        poll->start();
    }

    IsolatedEnvironment env;   // first: every controller below reads from it
    LogManager log;
    ProtocolLibrary library;
    ProtocolBuilder builder;
    DeviceManager devices;
    FileDialogHelper files;
    SerialManager serial;   // never told that USB is offered, so it leaves the ports alone
    MfgManager mfg;
    DeviceProtocolStore store;
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
        for (QObject *child : node->children()) {
            if (QObject *found = search(child, name, visibleOnly))
                return found;
        }
        for (QQuickItem *child : asItem ? asItem->childItems() : QList<QQuickItem *>()) {
            if (child->parent() != node)   // object children were seen above
                if (QObject *found = search(child, name, visibleOnly))
                    return found;
        }
        return nullptr;
    }
    static void collect(QQuickItem *node, const QString &name, QList<QQuickItem *> *result)
    {
        if (!node || !node->isVisible())
            return;
        if (node->objectName() == name)
            result->append(node);
        for (QQuickItem *child : node->childItems())
            collect(child, name, result);
    }
};
