#pragma once

// Whole files in a test's sandbox.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

// "<missing>" for a file that cannot be read, so that it never passes for an empty one.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// In place of any earlier file, its folder made first.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
