#pragma once

#include <QImage>
#include <QString>

class QWindow;

// Shows a window on the current (offscreen or virtual) screen, waits until it has been
// exposed and painted, and returns its picture. Under the offscreen platform with the
// software Quick backend QQuickWindow::grabWindow() gives a null image, so the screen
// grabs it instead.
QImage grabShownWindow(QWindow *window);

// grabShownWindow() written to a PNG; false when nothing could be grabbed or written.
bool saveWindowPng(QWindow *window, const QString &path);
