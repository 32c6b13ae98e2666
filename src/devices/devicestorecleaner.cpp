#include "devices/devicestorecleaner.h"

#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"

#include <QDebug>

QString DeviceStoreCleaner::cacheKeyFor(const DeviceManager &registry, const QString &uniqueId)
{
    const DeviceInfo *device = registry.findDeviceByUniqueId(uniqueId);
    return device ? device->hardwareId() : uniqueId;
}

QMetaObject::Connection DeviceStoreCleaner::connect(DeviceManager *registry, QObject *context,
                                                    ClearFunction clear)
{
    return QObject::connect(
        registry, &DeviceManager::deviceForgottenByUniqueId, context,
        [registry, clear = std::move(clear)](const QString &uniqueId, const QString &) {
            const QString key = cacheKeyFor(*registry, uniqueId);
            if (key.isEmpty())
                return;
            qDebug() << "DEV: [PAIR] clearing cached protocols of" << key;
            clear(key);
        },
        Qt::DirectConnection);
}
