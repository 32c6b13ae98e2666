import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Devices.js" as Devices

TestCase {
    name: "Devices"

    // A registry that records what it was asked to do.
    function registry(hardwareIds) {
        return {
            ids: hardwareIds.slice(),
            calls: [],
            findDeviceIndexByHardwareId: function (id) { return id ? this.ids.indexOf(id) : -1 },
            markLastSeenViaUsb: function (i) { this.calls.push("seen " + i) },
            setDeviceThemeColor: function (i, c) { this.calls.push("color " + i + " " + c) },
            setDeviceName: function (i, n) { this.calls.push("name " + i + " '" + n + "'") },
            setDeviceSerialNumber: function (i, s) { this.calls.push("sn " + i + " " + s) },
            setDeviceFirmwareVersion: function (i, f) { this.calls.push("fw " + i + " " + f) },
            addOrUpdateUsbDevice: function (n, s, f, c, id) {
                this.calls.push("add '" + n + "' " + s + " " + f + " " + c + " " + id)
                this.ids.push(id)
            }
        }
    }
    function usb(fields) {
        var link = { isConnected: true, usbDevicePresent: true, usbDeviceId: "A1B2C3D4E5F6",
                     usbDeviceName: "Bench", usbDeviceSN: "NS-1", usbDeviceFW: "v1.2", usbDeviceColor: 3 }
        for (var key in fields)
            link[key] = fields[key]
        return link
    }

    function test_applyUsbDeviceInfo_data() {
        return [
            { tag: "a matching record is updated, not added", ids: ["AA", "A1B2C3D4E5F6"], link: {},
              calls: ["seen 1", "color 1 3", "name 1 'Bench'", "sn 1 NS-1", "fw 1 v1.2"], result: { match: 1, select: true } },
            { tag: "an empty name is stored, empty S/N and version are not, no colour keeps it",
              ids: ["A1B2C3D4E5F6"], link: { usbDeviceName: "", usbDeviceSN: "", usbDeviceFW: "", usbDeviceColor: -1 },
              calls: ["seen 0", "name 0 ''"], result: { match: 0, select: true } },
            { tag: "an unknown instrument is added USB-only", ids: ["AA"], link: {}, calls: ["add 'Bench' NS-1 v1.2 3 A1B2C3D4E5F6"], result: { match: 1, select: true } },
            { tag: "not connected: nothing", ids: ["A1B2C3D4E5F6"], link: { isConnected: false }, calls: [], result: { match: 0, select: false } },
            { tag: "no hardware id yet: nothing", ids: [], link: { usbDeviceId: "" }, calls: [], result: { match: -1, select: false } },
            { tag: "USB not offered: nothing at all", ids: ["AA"], link: {}, unavailable: true, calls: [], result: null }
        ]
    }
    function test_applyUsbDeviceInfo(row) {
        var reg = registry(row.ids)
        var result = Devices.applyUsbDeviceInfo(reg, usb(row.link), !row.unavailable)
        compare(reg.calls, row.calls)
        compare(result, row.result)
    }

    function test_sectionsAndClicks_data() {
        var ble = { uniqueId: "B1", isPaired: true }
        var usbRecord = { uniqueId: "U1", isPaired: true }
        var paired = { uniqueId: "P1", isPaired: true }
        var found = { uniqueId: "D1", isPaired: false }
        return [
            { tag: "USB connected: its record is connected and clicks show USB",
              devices: [paired, usbRecord, found], ctx: { usbConnected: true, usbMatchIndex: 1, bleConnectedId: "" },
              sections: [["Connected", [1]], ["Paired Devices", [0]], ["Discovered Devices", [2]]],
              clicks: ["ble", "usb", "ble"] },
            { tag: "USB unplugged: the record is only paired",
              devices: [paired, usbRecord], ctx: { usbConnected: false, usbMatchIndex: 1, bleConnectedId: "" },
              sections: [["Paired Devices", [0, 1]]], clicks: ["ble", "ble"] },
            { tag: "the same record on both links: Bluetooth wins the click",
              devices: [ble], ctx: { usbConnected: true, usbMatchIndex: 0, bleConnectedId: "B1" },
              sections: [["Connected", [0]]], clicks: ["ble"] },
            { tag: "Bluetooth and USB on different records",
              devices: [ble, usbRecord], ctx: { usbConnected: true, usbMatchIndex: 1, bleConnectedId: "B1" },
              sections: [["Connected", [0, 1]]], clicks: ["ble", "usb"] }
        ]
    }
    function test_sectionsAndClicks(row) {
        var shown = Devices.sections(row.devices, row.ctx).map(function (s) { return [s.title, s.indices] })
        compare(shown, row.sections)
        var clicks = row.devices.map(function (d, i) { return Devices.clickConnectionType(d, i, row.ctx) })
        compare(clicks, row.clicks)
    }

    function test_cardsWaitForTheirInstrument_data() {
        var away = { uniqueId: "P1", isPaired: true, isAvailable: false }
        var heard = { uniqueId: "P1", isPaired: true, isAvailable: true }
        return [
            { tag: "heard: stays waiting to connect", state: { pending: true, retries: 0 }, device: heard,
              next: { pending: true, retries: 0 }, rescan: false },
            { tag: "first miss: one more scan", state: { pending: true, retries: 0 }, device: away,
              next: { pending: true, retries: 1 }, rescan: true },
            { tag: "second miss: gives up", state: { pending: true, retries: 1 }, device: away, next: null, rescan: false },
            { tag: "record gone: gives up", state: { pending: true, retries: 0 }, device: null,
              next: { pending: true, retries: 1 }, rescan: true },
            { tag: "not waiting", state: null, device: away, next: null, rescan: false }
        ]
    }
    function test_cardsWaitForTheirInstrument(row) {
        var after = Devices.afterScan(row.state, row.device)
        compare(after.state, row.next)
        compare(after.rescan, row.rescan)
    }

    function test_cardActions() {
        compare(Devices.connectAction({ isPaired: false, isAvailable: true }), "connect")
        compare(Devices.connectAction({ isPaired: true, isAvailable: true }), "connect")
        compare(Devices.connectAction({ isPaired: true, isAvailable: false }), "scan")
        compare(Devices.connectAction({ isPaired: true, isAvailable: true, usbOnly: true }), "")
        var device = { uniqueId: "P1", isAvailable: false }
        compare(Devices.cardActivity(device, { isConnecting: true, connectedDeviceId: "P1", connectionStage: "" }), "Connecting...")
        compare(Devices.cardActivity(device, { isConnecting: true, connectedDeviceId: "P1", connectionStage: "Enabling notifications..." }),
                "Enabling notifications...")
        compare(Devices.cardActivity(device, { isConnecting: true, connectedDeviceId: "P2", isScanning: true }, { pending: true }),
                "Searching...")
        compare(Devices.cardActivity(device, { isScanning: true }, null), "")
        // The page's card states survive the registry's list being made anew.
        var states = Devices.withCardState({}, "P1", { pending: true, retries: 0 })
        compare(Devices.indexOfUniqueId([{ uniqueId: "D9" }, device], "P1"), 1)
        compare(Devices.withCardState(states, "P1", null), {})
    }
}
