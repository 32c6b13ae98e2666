#pragma once

// Loads the real interface (qrc:/ui/Main.qml) with the real controllers, the way start-up
// publishes them, and offers the few moves a test makes on it: find an item by its
// object name, click it, type, call a QML function. Create one per test case, inside an
// IsolatedEnvironment, so that every controller reads fresh settings.

#include "app/filedialoghelper.h"
#include "app/logmanager.h"
#include "app/mfgmanager.h"
#include "devices/devicemanager.h"
#include "devices/serial/serialmanager.h"
#include "editor/protocolbuilder.h"
#include "storage/deviceprotocolstore.h"
#include "storage/protocollibrary.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

#include <memory>

class UiHarness
{
public:
    UiHarness()
    {
        // No Wi-Fi reader in tests: manufacturing mode comes only from the PIN.
        mfg.setSsidProgram(QStringLiteral("/nonexistent/nerra-no-ssid-reader"));
        builder.setLibrary(&library);
    }

    // Publishes the controllers and loads the main window (the compiled-in one unless
    // another is named); false when it did not load.
    bool load(const QUrl &mainQml = QUrl(QStringLiteral("qrc:/ui/Main.qml")))
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
        engine->load(mainQml);
        if (engine->rootObjects().isEmpty())
            return false;
        window = qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
        if (!window)
            return false;
        window->show();
        window->requestActivate();
        return QTest::qWaitForWindowExposed(window) && QTest::qWaitForWindowActive(window);
    }

    QObject *root() const { return window; }

    // Depth-first over both the object tree and the visual tree, so that delegates,
    // popup contents and pages are all found. Only visible items when `visibleOnly`.
    QObject *find(const QString &name, QObject *under = nullptr, bool visibleOnly = true) const
    {
        QObject *start = under ? under : static_cast<QObject *>(window);
        QObject *popupLayer = window ? static_cast<QObject *>(window->contentItem()->parentItem()) : nullptr;
        if (QObject *found = search(start, name, visibleOnly))
            return found;
        return under ? nullptr : search(popupLayer, name, visibleOnly);
    }
    QQuickItem *item(const QString &name, QObject *under = nullptr) const
    {
        return qobject_cast<QQuickItem *>(find(name, under));
    }

    // All visible items of that name, in tree order.
    QList<QQuickItem *> items(const QString &name, QQuickItem *under = nullptr) const
    {
        QList<QQuickItem *> result;
        collect(under ? under : window->contentItem(), name, &result);
        return result;
    }

    // Lets pending layout (positioners, layouts) settle by waiting for a rendered frame.
    void settle() const
    {
        // A page stack in transition takes no input.
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

    // Mouse events sent straight to the window: unlike QTest's, two clicks on one spot
    // never turn into a double click.
    void press(QPointF at) const { mouse(QEvent::MouseButtonPress, at, Qt::LeftButton); }
    void move(QPointF at) const { mouse(QEvent::MouseMove, at, Qt::LeftButton); }
    void release(QPointF at) const { mouse(QEvent::MouseButtonRelease, at, Qt::NoButton); }
    void mouse(QEvent::Type type, QPointF at, Qt::MouseButtons buttons) const
    {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, at, window->mapToGlobal(at.toPoint()), button, buttons, Qt::NoModifier);
        QGuiApplication::sendEvent(window, &event);
    }

    void type(QQuickItem *field, const QString &text, bool replace = true) const
    {
        field->forceActiveFocus();
        if (replace) {
            QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(window, Qt::Key_Delete);
        }
        typeText(text);
    }
    // Key events carrying the characters, as a keyboard would send them to the focus item.
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

    QVariant call(QObject *target, const char *function, const QVariantList &args = {}) const
    {
        QVariant result;
        QGenericArgument a[4];
        for (int i = 0; i < args.size() && i < 4; ++i)
            a[i] = Q_ARG(QVariant, args.at(i));
        QMetaObject::invokeMethod(target, function, Q_RETURN_ARG(QVariant, result), a[0], a[1], a[2], a[3]);
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

    // Answers the next framework file dialog from inside its own event loop, as a user
    // would: types `path` into the name field and presses Return, or cancels when `path`
    // is empty. `title` receives the dialog's title.
    static void answerNextFileDialog(const QString &path, QString *title = nullptr)
    {
        auto *poll = new QTimer;
        poll->setInterval(5);
        auto polls = std::make_shared<int>(0);
        QObject::connect(poll, &QTimer::timeout, poll, [=] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            auto *nameField = dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
            const bool ready = dialog && dialog->isVisible() && nameField && nameField->hasFocus();
            if (!ready && ++*polls < 2000)
                return;
            poll->stop();
            poll->deleteLater();
            if (!dialog)
                return;
            if (title)
                *title = dialog->windowTitle();
            if (!ready || path.isEmpty()) {
                dialog->reject();
                return;
            }
            nameField->selectAll();
            QTest::keyClick(nameField, Qt::Key_Delete);
            QTest::keyClicks(nameField, path);
            QTest::keyClick(nameField, Qt::Key_Return);
        });
        poll->start();
    }

    LogManager log;
    ProtocolLibrary library;
    ProtocolBuilder builder;
    DeviceManager devices;
    FileDialogHelper files;
    // Never told that USB is offered, so it leaves the ports alone.
    SerialManager serial;
    MfgManager mfg;
    DeviceProtocolStore store;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;

private:
    static bool shown(QObject *object)
    {
        auto *item = qobject_cast<QQuickItem *>(object);
        return !item || item->isVisible();
    }
    static QObject *search(QObject *node, const QString &name, bool visibleOnly)
    {
        if (!node || (visibleOnly && !shown(node)))
            return nullptr;
        if (node->objectName() == name)
            return node;
        for (QObject *child : node->children()) {
            if (QObject *found = search(child, name, visibleOnly))
                return found;
        }
        if (auto *item = qobject_cast<QQuickItem *>(node)) {
            for (QQuickItem *child : item->childItems()) {
                if (child->parent() == node)
                    continue;   // already seen as an object child
                if (QObject *found = search(child, name, visibleOnly))
                    return found;
            }
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
