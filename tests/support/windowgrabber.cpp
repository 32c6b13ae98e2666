#include "windowgrabber.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

QImage grabShownWindow(QWindow *window)
{
    if (!window)
        return {};
    window->show();
    if (!QTest::qWaitForWindowExposed(window))
        return {};
    if (auto *quickWindow = qobject_cast<QQuickWindow *>(window)) {
        // Wait for a painted frame after every pending change (page fades included).
        QSignalSpy frames(quickWindow, &QQuickWindow::frameSwapped);
        quickWindow->update();
        frames.wait(2000);
    }
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    return screen->grabWindow(window->winId()).toImage();
}

bool saveWindowPng(QWindow *window, const QString &path)
{
    const QImage image = grabShownWindow(window);
    return !image.isNull() && image.save(path, "PNG");
}
