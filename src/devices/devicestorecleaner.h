#pragma once

#include <QMetaObject>
#include <QObject>
#include <QString>

#include <functional>

class DeviceManager;

// Start-up's answer to a forgotten device: the protocols cached for that instrument go
// with it. Kept apart from main() so the rule can be tested without the whole program.
class DeviceStoreCleaner
{
public:
    using ClearFunction = std::function<void(const QString &hardwareId)>;

    // The key the protocol cache uses for a registry entry: its hardware id, or the unique
    // id itself when the entry is no longer found.
    static QString cacheKeyFor(const DeviceManager &registry, const QString &uniqueId);

    // Connects the registry's deviceForgottenByUniqueId directly (the entry is still
    // registered while that signal runs) to a handler that calls clear with the key;
    // an empty key clears nothing. context ends the connection when it is destroyed.
    static QMetaObject::Connection connect(DeviceManager *registry, QObject *context, ClearFunction clear);
};
