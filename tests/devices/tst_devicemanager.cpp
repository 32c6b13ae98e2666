#include "devices/deviceinfo.h"
#include "devices/devicemanager.h"
#include "devices/devicestorecleaner.h"
#include "testmain.h"

#include <QBluetoothAddress>
#include <QMetaProperty>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>

#include <memory>

namespace {

struct StoredDevice
{
    QString name;
    QString address;
    QVariantMap extra;
};

} // namespace

Q_DECLARE_METATYPE(QList<StoredDevice>)

namespace {

void writeStore(const QList<StoredDevice> &devices)
{
    QSettings settings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"));
    settings.beginWriteArray(QStringLiteral("pairedDevices"));
    for (int i = 0; i < devices.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("name"), devices[i].name);
        settings.setValue(QStringLiteral("address"), devices[i].address);
        for (auto it = devices[i].extra.cbegin(); it != devices[i].extra.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    settings.endArray();
}

// The stored array as plain maps, exactly as the next start will read it.
QList<QVariantMap> readStore()
{
    QSettings settings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop"));
    QList<QVariantMap> result;
    const int size = settings.beginReadArray(QStringLiteral("pairedDevices"));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        QVariantMap element;
        for (const QString &key : settings.childKeys())
            element.insert(key, settings.value(key));
        result.append(element);
    }
    settings.endArray();
    return result;
}

DeviceInfo *scanned(const QString &address, const QString &name)
{
    return new DeviceInfo(QBluetoothDeviceInfo(QBluetoothAddress(address), name, 0));
}

} // namespace

class TestDeviceManager : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env = std::make_unique<IsolatedEnvironment>(); }
    void cleanup() { m_env.reset(); }

    void storedArrayHoldsExactlyTheCurrentEntries();
    void loadsStoredEntries_data();
    void loadsStoredEntries();
    void damagedArraySizeNeitherHangsNorLosesEntries_data();
    void damagedArraySizeNeitherHangsNorLosesEntries();
    void staleness_data();
    void staleness();
    void mergeBluetoothDevice_data();
    void mergeBluetoothDevice();
    void forgetSurvivesListenersThatDropTheEntry_data();
    void forgetSurvivesListenersThatDropTheEntry();
    void listHoldsEachEntryOnce();
    void addOrUpdateUsbDevice();
    void startupWiringClearsTheProtocolCache_data();
    void startupWiringClearsTheProtocolCache();

private:
    std::unique_ptr<IsolatedEnvironment> m_env;
};

void TestDeviceManager::storedArrayHoldsExactlyTheCurrentEntries()
{
    {
        DeviceManager manager;
        manager.addOrUpdateUsbDevice(QStringLiteral("Bench pipette"), QStringLiteral("SN-100"),
                                     QStringLiteral("1.4.0"), 5, QStringLiteral("A1B2C3D4E5F6"));
        manager.addDevice(new DeviceInfo(QStringLiteral("Plain"), QStringLiteral("AA:00:00:00:00:09")));
        manager.addDevice(scanned(QStringLiteral("AA:00:00:00:00:02"), QStringLiteral("Nerra: Unpaired")));
        manager.addOrUpdateUsbDevice(QStringLiteral("Coloured"), QString(), QString(), 2,
                                     QStringLiteral("0F0E0D0C0B0A"));
        // Unpaired entries leave no gap in the stored array.
        QCOMPARE(readStore().size(), 3);
        QCOMPARE(readStore().at(2).value(QStringLiteral("name")).toString(), QStringLiteral("Coloured"));
        // Paired, it is stored in list order.
        manager.pairDevice(2);
        QCOMPARE(readStore().at(2).value(QStringLiteral("name")).toString(), QStringLiteral("Nerra: Unpaired"));
        manager.forgetDevice(2);

        // The forgotten USB entry held index 0; the plain entry moves into it.
        manager.forgetDevice(0);
        // Clearing a colour must stick.
        manager.setDeviceThemeColor(1, -1);
    }
    const QList<QVariantMap> stored = readStore();
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored[0].keys(), (QStringList{QStringLiteral("address"), QStringLiteral("name")}));
    QVERIFY(!stored[1].contains(QStringLiteral("themeColor")));

    DeviceManager reloaded;
    QCOMPARE(reloaded.devices().size(), 2);
    DeviceInfo *plain = reloaded.deviceAt(0);
    QCOMPARE(plain->name(), QStringLiteral("Plain"));
    QCOMPARE(reloaded.deviceAt(1)->themeColor(), -1);
    QCOMPARE(reloaded.deviceAt(1)->hardwareId(), QStringLiteral("0F0E0D0C0B0A"));
}

void TestDeviceManager::loadsStoredEntries_data()
{
    QTest::addColumn<QList<StoredDevice>>("stored");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("uniqueIds");
    QTest::addColumn<QList<bool>>("usbOnly");
    QTest::addColumn<QList<bool>>("seenViaUsb");

    const QVariantMap usbOnly{{QStringLiteral("usbOnly"), true},
                              {QStringLiteral("hardwareId"), QStringLiteral("A1B2C3D4E5F6")}};
    // A cleared name must not cost the entry; only an element without a unique id is useless.
    QTest::newRow("keeps nameless elements, skips those without address")
        << QList<StoredDevice>{{QString(), QStringLiteral("AA:00:00:00:00:01"), {}},
                               {QStringLiteral("Kept"), QStringLiteral("AA:00:00:00:00:02"), {}},
                               {QStringLiteral("No address"), QString(), {}}}
        << QStringList{QString(), QStringLiteral("Kept")}
        << QStringList{QStringLiteral("AA:00:00:00:00:01"), QStringLiteral("AA:00:00:00:00:02")}
        << QList<bool>{false, false} << QList<bool>{false, false};
    QTest::newRow("usb-only element without address is keyed by its hardware id")
        << QList<StoredDevice>{{QString(), QString(), usbOnly}} << QStringList{QString()}
        << QStringList{QStringLiteral("A1B2C3D4E5F6")} << QList<bool>{true} << QList<bool>{true};
    QTest::newRow("seen over usb is restored for a bluetooth entry")
        << QList<StoredDevice>{{QStringLiteral("Joined"), QStringLiteral("AA:00:00:00:00:03"),
                                {{QStringLiteral("lastSeenViaUsb"), true}}}}
        << QStringList{QStringLiteral("Joined")} << QStringList{QStringLiteral("AA:00:00:00:00:03")}
        << QList<bool>{false} << QList<bool>{true};
}

void TestDeviceManager::loadsStoredEntries()
{
    QFETCH(QList<StoredDevice>, stored);
    QFETCH(QStringList, names);
    QFETCH(QStringList, uniqueIds);
    QFETCH(QList<bool>, usbOnly);
    QFETCH(QList<bool>, seenViaUsb);
    writeStore(stored);

    const QDateTime before = QDateTime::currentDateTime();
    DeviceManager manager;
    QCOMPARE(manager.devices().size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        DeviceInfo *device = manager.deviceAt(i);
        QCOMPARE(device->name(), names[i]);
        QCOMPARE(device->uniqueId(), uniqueIds[i]);
        QCOMPARE(device->address(), uniqueIds[i]);
        QCOMPARE(device->usbOnly(), usbOnly[i]);
        QVERIFY(device->isPaired());
        QVERIFY(!device->isAvailable());
        QCOMPARE(device->lastSeenViaUsb(), seenViaUsb[i]);
        if (seenViaUsb[i])
            QVERIFY(device->lastSeenViaUsbAt() >= before);
    }
}

void TestDeviceManager::damagedArraySizeNeitherHangsNorLosesEntries_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("largest int") << 2147483647;
    QTest::newRow("too small") << 1;
}

void TestDeviceManager::damagedArraySizeNeitherHangsNorLosesEntries()
{
    QFETCH(int, size);
    writeStore({{QStringLiteral("One"), QStringLiteral("AA:00:00:00:00:01"), {}},
                {QStringLiteral("Two"), QStringLiteral("AA:00:00:00:00:02"), {}}});
    QSettings(QStringLiteral("Vellora"), QStringLiteral("NerraDesktop")).setValue(QStringLiteral("pairedDevices/size"), size);
    {
        DeviceManager manager;
        QCOMPARE(manager.devices().size(), 2);
        // The next save (an instrument plugged in) writes every entry back.
        manager.addOrUpdateUsbDevice(QStringLiteral("Bench"), QString(), QString(), -1,
                                     QStringLiteral("A1B2C3D4E5F6"));
    }
    QStringList names;
    for (const QVariantMap &element : readStore())
        names << element.value(QStringLiteral("name")).toString();
    QCOMPARE(names, (QStringList{"One", "Two", "Bench"}));
}

void TestDeviceManager::staleness_data()
{
    QTest::addColumn<bool>("advertised");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<bool>("stale");

    QTest::newRow("loaded, never advertised") << false << qint64(3600 * 1000) << false;
    QTest::newRow("exactly 60 s") << true << qint64(60 * 1000) << false;
    QTest::newRow("just over 60 s") << true << qint64(60 * 1000 + 1) << true;
}

void TestDeviceManager::staleness()
{
    QFETCH(bool, advertised);
    QFETCH(qint64, elapsedMs);
    QFETCH(bool, stale);

    DeviceInfo device(QStringLiteral("Loaded"), QStringLiteral("AA:00:00:00:00:01"));
    if (advertised)
        device.updateLastSeen();
    const QDateTime reference = advertised ? device.lastSeen() : QDateTime::currentDateTime();
    QCOMPARE(device.isStaleAt(reference.addMSecs(elapsedMs)), stale);
}

void TestDeviceManager::mergeBluetoothDevice_data()
{
    QTest::addColumn<bool>("bleFirst");
    QTest::addColumn<QString>("bleId");
    QTest::addColumn<QString>("hwId");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("remaining");

    // List: [other, ble, usb, other] or [other, usb, ble, other].
    QTest::newRow("bluetooth entry before the usb entry") << true << QStringLiteral("AA:00:00:00:00:0B")
                                                          << QStringLiteral("A1B2C3D4E5F6") << 1 << 3;
    QTest::newRow("bluetooth entry after the usb entry") << false << QStringLiteral("AA:00:00:00:00:0B")
                                                         << QStringLiteral("A1B2C3D4E5F6") << 1 << 3;
    QTest::newRow("no other entry carries the id") << true << QStringLiteral("AA:00:00:00:00:0B")
                                                   << QStringLiteral("FFFFFFFFFFFF") << 1 << 4;
    QTest::newRow("unknown bluetooth entry") << true << QStringLiteral("AA:00:00:00:00:0F")
                                             << QStringLiteral("A1B2C3D4E5F6") << -1 << 4;
    QTest::newRow("empty hardware id") << true << QStringLiteral("AA:00:00:00:00:0B") << QString() << -1 << 4;
}

void TestDeviceManager::mergeBluetoothDevice()
{
    QFETCH(bool, bleFirst);
    QFETCH(QString, bleId);
    QFETCH(QString, hwId);
    QFETCH(int, expected);
    QFETCH(int, remaining);

    DeviceManager manager;
    manager.addDevice(new DeviceInfo(QStringLiteral("Other"), QStringLiteral("AA:00:00:00:00:01")));
    DeviceInfo *ble = scanned(QStringLiteral("AA:00:00:00:00:0B"), QStringLiteral("Nerra: Bench"));
    ble->setFirmwareVersion(QStringLiteral("2.0.0"));
    ble->setSerialNumber(QStringLiteral("SN-BLE"));
    DeviceInfo *usb = DeviceInfo::createUsbOnly(QStringLiteral("Bench pipette"), QStringLiteral("A1B2C3D4E5F6"));
    usb->setFirmwareVersion(QStringLiteral("1.9.0"));
    usb->setThemeColor(4);
    manager.addDevice(bleFirst ? ble : usb);
    manager.addDevice(bleFirst ? usb : ble);
    manager.addDevice(new DeviceInfo(QStringLiteral("Last"), QStringLiteral("AA:00:00:00:00:02")));
    QSignalSpy changed(&manager, &DeviceManager::devicesChanged);
    // The interface follows the unique id through its notify signal, whichever it is.
    const QMetaProperty uniqueId = usb->metaObject()->property(usb->metaObject()->indexOfProperty("uniqueId"));
    QSignalSpy uniqueIdChanged(usb, uniqueId.notifySignal());
    QVERIFY(uniqueIdChanged.isValid());

    QCOMPARE(manager.mergeBluetoothDevice(bleId, hwId), expected);
    QCOMPARE(manager.devices().size(), remaining);
    if (remaining == 4) {
        QCOMPARE(changed.count(), 0);
        QVERIFY(usb->usbOnly());
        return;
    }
    QCOMPARE(changed.count(), 1);
    DeviceInfo *survivor = manager.deviceAt(expected);
    QCOMPARE(survivor, usb);
    QCOMPARE(survivor->uniqueId(), QStringLiteral("AA:00:00:00:00:0B"));
    QCOMPARE(uniqueIdChanged.count(), 1);
    QCOMPARE(survivor->name(), QStringLiteral("Bench pipette"));
    QCOMPARE(survivor->firmwareVersion(), QStringLiteral("1.9.0"));
    QCOMPARE(survivor->serialNumber(), QStringLiteral("SN-BLE"));
    QCOMPARE(survivor->themeColor(), 4);
    QVERIFY(!survivor->usbOnly());
    QVERIFY(survivor->isAvailable());
    QVERIFY(survivor->lastSeenViaUsb());
    QCOMPARE(manager.findDeviceByUniqueId(QStringLiteral("A1B2C3D4E5F6")), nullptr);

    const QList<QVariantMap> stored = readStore();
    QCOMPARE(stored.size(), 3);
    QCOMPARE(stored[expected].value(QStringLiteral("address")).toString(), QStringLiteral("AA:00:00:00:00:0B"));
    QVERIFY(!stored[expected].contains(QStringLiteral("usbOnly")));
}

void TestDeviceManager::forgetSurvivesListenersThatDropTheEntry_data()
{
    QTest::addColumn<QString>("listener");
    QTest::newRow("removes it through the manager") << QStringLiteral("remove");
    QTest::newRow("deletes it") << QStringLiteral("delete");
    QTest::newRow("takes it out of the list") << QStringLiteral("take");
}

void TestDeviceManager::forgetSurvivesListenersThatDropTheEntry()
{
    QFETCH(QString, listener);
    DeviceManager manager;
    manager.addDevice(new DeviceInfo(QStringLiteral("Keep"), QStringLiteral("AA:00:00:00:00:01")));
    QPointer<DeviceInfo> dropped = new DeviceInfo(QStringLiteral("Drop"), QStringLiteral("AA:00:00:00:00:02"));
    manager.addDevice(dropped);

    connect(&manager, &DeviceManager::deviceForgottenByUniqueId, this, [&](const QString &uniqueId) {
        DeviceInfo *found = manager.findDeviceByUniqueId(uniqueId);
        QVERIFY(found);
        if (listener == QLatin1String("remove")) {
            manager.removeDevice(manager.devices().indexOf(found));
        } else if (listener == QLatin1String("delete")) {
            delete found;
        } else {
            QList<QObject *> rest = manager.devices();
            rest.removeOne(found);
            manager.setDevices(rest);
        }
    });
    QSignalSpy changed(&manager, &DeviceManager::devicesChanged);
    manager.forgetDevice(1);
    disconnect(&manager, &DeviceManager::deviceForgottenByUniqueId, this, nullptr);

    QCOMPARE(manager.devices().size(), 1);
    QCOMPARE(manager.deviceAt(0)->name(), QStringLiteral("Keep"));
    QVERIFY(changed.count() >= 1);
    QCOMPARE(readStore().size(), 1);
    // An entry taken out of the list is the taker's, as setDevices promises.
    QCOMPARE(!dropped.isNull(), listener == QLatin1String("take"));
    delete dropped;
}

void TestDeviceManager::listHoldsEachEntryOnce()
{
    QPointer<DeviceInfo> first = new DeviceInfo(QStringLiteral("First"), QStringLiteral("AA:00:00:00:00:01"));
    QPointer<DeviceInfo> second = new DeviceInfo(QStringLiteral("Second"), QStringLiteral("AA:00:00:00:00:02"));
    {
        DeviceManager manager;
        manager.setDevices({first, nullptr, first, second, nullptr});
        QCOMPARE(manager.devices(), (QList<QObject *>{first, second}));

        QSignalSpy changed(&manager, &DeviceManager::devicesChanged);
        manager.addDevice(second);
        manager.addDevice(nullptr);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(manager.devices().size(), 2);
    } // each entry deleted exactly once
    QVERIFY(first.isNull());
    QVERIFY(second.isNull());
}

void TestDeviceManager::addOrUpdateUsbDevice()
{
    DeviceManager manager;
    QSignalSpy changed(&manager, &DeviceManager::devicesChanged);
    manager.addOrUpdateUsbDevice(QStringLiteral("Bench"), QStringLiteral("SN-1"), QStringLiteral("1.0.0"), 0,
                                 QString());
    QCOMPARE(manager.devices().size(), 0);

    manager.addOrUpdateUsbDevice(QStringLiteral("Bench"), QStringLiteral("SN-1"), QStringLiteral("1.0.0"), 0,
                                 QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(changed.count(), 1);
    DeviceInfo *device = manager.deviceAt(0);
    QVERIFY(device->usbOnly());
    QVERIFY(device->isPaired());
    QCOMPARE(device->uniqueId(), QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(manager.findDeviceIndexByHardwareId(QStringLiteral("A1B2C3D4E5F6")), 0);
    QCOMPARE(manager.findDeviceIndexByHardwareId(QString()), -1);

    // Colour -1 and empty texts keep what is known; an empty name is stored.
    QSignalSpy usbSeen(device, &DeviceInfo::lastSeenViaUsbChanged);
    manager.addOrUpdateUsbDevice(QString(), QString(), QString(), -1, QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(usbSeen.count(), 1);
    QCOMPARE(device->name(), QString());
    QCOMPARE(device->themeColor(), 0);
    QCOMPARE(device->serialNumber(), QStringLiteral("SN-1"));
    QCOMPARE(device->firmwareVersion(), QStringLiteral("1.0.0"));
    QCOMPARE(readStore().value(0).value(QStringLiteral("name")).toString(), QString());

    // The nameless entry comes back at the next start with all it knew.
    DeviceManager reloaded;
    QCOMPARE(reloaded.devices().size(), 1);
    const DeviceInfo *back = reloaded.deviceAt(0);
    QCOMPARE(back->name(), QString());
    QCOMPARE(back->hardwareId(), QStringLiteral("A1B2C3D4E5F6"));
    QCOMPARE(back->serialNumber(), QStringLiteral("SN-1"));
    QCOMPARE(back->themeColor(), 0); // the first colour is a colour
}

void TestDeviceManager::startupWiringClearsTheProtocolCache_data()
{
    QTest::addColumn<bool>("viaForget");
    QTest::addColumn<QString>("uniqueId");
    QTest::addColumn<QStringList>("cleared");

    QTest::newRow("forgotten usb entry") << true << QStringLiteral("A1B2C3D4E5F6")
                                         << QStringList{QStringLiteral("A1B2C3D4E5F6")};
    QTest::newRow("merged entry clears by hardware id, not address")
        << true << QStringLiteral("AA:00:00:00:00:0B") << QStringList{QStringLiteral("0F0E0D0C0B0A")};
    QTest::newRow("entry without hardware id clears nothing") << true << QStringLiteral("AA:00:00:00:00:01")
                                                              << QStringList{};
    QTest::newRow("entry already gone: the unique id is the key")
        << false << QStringLiteral("123456789ABC") << QStringList{QStringLiteral("123456789ABC")};
}

void TestDeviceManager::startupWiringClearsTheProtocolCache()
{
    QFETCH(bool, viaForget);
    QFETCH(QString, uniqueId);
    QFETCH(QStringList, cleared);

    DeviceManager manager;
    manager.addDevice(new DeviceInfo(QStringLiteral("Plain"), QStringLiteral("AA:00:00:00:00:01")));
    manager.addOrUpdateUsbDevice(QStringLiteral("Bench"), QString(), QString(), -1, QStringLiteral("A1B2C3D4E5F6"));
    auto *joined = new DeviceInfo(QStringLiteral("Joined"), QStringLiteral("AA:00:00:00:00:0B"));
    joined->setHardwareId(QStringLiteral("0F0E0D0C0B0A"));
    manager.addDevice(joined);

    QStringList calls;
    QObject context;
    DeviceStoreCleaner::connect(&manager, &context, [&](const QString &key) { calls << key; });
    if (viaForget) {
        manager.forgetDevice(manager.devices().indexOf(manager.findDeviceByUniqueId(uniqueId)));
        QVERIFY(!manager.findDeviceByUniqueId(uniqueId));
    } else {
        emit manager.deviceForgottenByUniqueId(uniqueId, uniqueId);
    }
    QCOMPARE(calls, cleared);
}

NERRA_TEST_MAIN(TestDeviceManager)
#include "tst_devicemanager.moc"
