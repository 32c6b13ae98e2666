.pragma library

// The device list and the meeting of the two links: which record is the instrument on
// USB, what its identity record changes in the registry, which section a record is
// listed in, and which link a click on a card shows. The controllers are passed in, so
// that the rules can be tried against stand-ins.

// The record of the instrument on USB: the one carrying its hardware id, or -1.
function usbMatchIndex(registry, usb) {
    if (!registry || !usb || !usb.usbDeviceId)
        return -1
    return registry.findDeviceIndexByHardwareId(usb.usbDeviceId)
}

// Brings the registry up to date with the identity the USB link reported. Returns the
// index of the instrument's record and whether the page should select it; null when USB
// is not offered at all (then nothing may change).
function applyUsbDeviceInfo(registry, usb, usbAvailable) {
    if (!usbAvailable)
        return null
    var match = usbMatchIndex(registry, usb)
    if (!usb.isConnected || !usb.usbDeviceId)
        return { match: match, select: false }
    if (match >= 0) {
        registry.markLastSeenViaUsb(match)
        if (usb.usbDeviceColor >= 0)
            registry.setDeviceThemeColor(match, usb.usbDeviceColor)
        // The instrument's name is its own, even when the user cleared it there.
        registry.setDeviceName(match, usb.usbDeviceName)
        if (usb.usbDeviceSN)
            registry.setDeviceSerialNumber(match, usb.usbDeviceSN)
        if (usb.usbDeviceFW)
            registry.setDeviceFirmwareVersion(match, usb.usbDeviceFW)
    } else {
        registry.addOrUpdateUsbDevice(usb.usbDeviceName, usb.usbDeviceSN, usb.usbDeviceFW,
                                      usb.usbDeviceColor, usb.usbDeviceId)
        match = usbMatchIndex(registry, usb)
    }
    return { match: match, select: true }
}

function isBleConnected(device, ctx) {
    return !!ctx.bleConnectedId && !!device && device.uniqueId === ctx.bleConnectedId
}

function isUsbConnected(index, ctx) {
    return !!ctx.usbConnected && index >= 0 && index === ctx.usbMatchIndex
}

// ctx: { bleConnectedId, usbConnected, usbMatchIndex }
function sectionOf(device, index, ctx) {
    if (isBleConnected(device, ctx) || isUsbConnected(index, ctx))
        return "connected"
    return device.isPaired ? "paired" : "discovered"
}

var SectionTitles = { connected: "Connected", paired: "Paired Devices", discovered: "Discovered Devices" }

// The list as it is shown: sections in their fixed order, empty ones left out, each
// with the registry indices of its records in registry order.
function sections(devices, ctx) {
    var order = ["connected", "paired", "discovered"]
    var byKey = { connected: [], paired: [], discovered: [] }
    for (var i = 0; i < devices.length; ++i)
        byKey[sectionOf(devices[i], i, ctx)].push(i)
    var result = []
    for (var k = 0; k < order.length; ++k) {
        if (byKey[order[k]].length > 0)
            result.push({ key: order[k], title: SectionTitles[order[k]], indices: byKey[order[k]] })
    }
    return result
}

// A click shows the USB link for the instrument on USB, unless Bluetooth LE is already
// connected to that same record.
function clickConnectionType(device, index, ctx) {
    return isUsbConnected(index, ctx) && !isBleConnected(device, ctx) ? "usb" : "ble"
}

// The USB row of the connectivity footer.
// `flashing`: a blank board on USB is being flashed, and the link keeps off its port.
function usbStatus(usb, flashing) {
    if (flashing)
        return { text: "Flashing a new board…", tone: "warning" }
    if (usb && usb.isConnected)
        return { text: "Connected", tone: "success" }
    if (usb && usb.usbDevicePresent)
        return { text: "Connecting…", tone: "warning" }
    return { text: "No instrument", tone: "muted" }
}

// ---- Bluetooth LE cards ----
// A card's own state (waiting to connect once its instrument is heard, scans tried) is
// kept by the page, keyed by the record's unique id: the cards themselves are made anew
// whenever the registry changes.

function indexOfUniqueId(devices, uniqueId) {
    for (var i = 0; i < devices.length; ++i) {
        if (devices[i] && devices[i].uniqueId === uniqueId)
            return i
    }
    return -1
}

// The map with one card's state replaced (null removes it).
function withCardState(states, uniqueId, state) {
    var result = Object.assign({}, states)
    if (state)
        result[uniqueId] = state
    else
        delete result[uniqueId]
    return result
}

// What a card's Bluetooth button does: "connect" at once, or "scan" first and connect
// when the instrument is heard (a paired record not seen lately). Records known only
// from USB have no Bluetooth address to connect to.
function connectAction(device) {
    if (!device || device.usbOnly)
        return ""
    return !device.isPaired || device.isAvailable ? "connect" : "scan"
}

// After a scan ends, a waiting card whose instrument was not heard tries one more scan,
// then gives up. Returns the card's next state (null: no longer waiting) and whether to
// scan again.
function afterScan(state, device) {
    if (!state || !state.pending)
        return { state: null, rescan: false }
    if (device && device.isAvailable)
        return { state: state, rescan: false }
    if (state.retries < 1)
        return { state: { pending: true, retries: state.retries + 1 }, rescan: true }
    return { state: null, rescan: false }
}

// The line under a card's name while Bluetooth LE works on it; empty otherwise.
// ble: { isConnecting, connectedDeviceId, connectionStage, isScanning }
function cardActivity(device, ble, state) {
    if (!device || !ble)
        return ""
    if (ble.isConnecting && ble.connectedDeviceId === device.uniqueId)
        return ble.connectionStage ? ble.connectionStage : "Connecting..."
    if (state && state.pending && ble.isScanning && !device.isAvailable)
        return "Searching..."
    return ""
}

