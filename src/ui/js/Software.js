.pragma library

// The rules of the device's "Software" tab: what it offers and says, for a customer and in
// manufacturing mode. The panel passes in plain values; the catalogue's version comparison
// comes in as `compare(a, b)` (its sign tells the order).

// The updater's states by number, as its enumeration gives them.
var States = ["Idle", "Downloading", "Beginning", "Transferring", "Verifying", "Applying", "Rebooting", "Confirming",
              "Done", "Failed", "NeedsReplug"]

// s: { usbConnected, otaVersion, busy, linkTransferring, state, latest, catalogEnv, env,
//      deviceVersion, picked, mfg, filePath, checking, catalogError, compare }
function derive(s) {
    var d = {}
    d.otaSupported = s.otaVersion >= 1
    d.catalogReady = !!s.latest && s.catalogEnv === s.env
    d.deviceKnown = !!s.deviceVersion
    d.latestIsNewer = d.catalogReady && d.deviceKnown && s.compare(s.latest, s.deviceVersion) > 0
    d.target = s.mfg && s.picked ? s.picked : (d.catalogReady ? s.latest : "")
    var comparable = d.catalogReady && d.deviceKnown && !!d.target
    d.isDowngrade = comparable && s.compare(d.target, s.deviceVersion) < 0
    d.isSameVersion = comparable && s.compare(d.target, s.deviceVersion) === 0
    d.showResult = s.state === "Done" || s.state === "Failed" || s.state === "NeedsReplug"
    d.deviceReady = s.usbConnected && d.otaSupported && !s.busy && !s.linkTransferring
    d.canUpdateRelease = d.deviceReady && !d.showResult && d.catalogReady && !!d.target
                         && (s.mfg || d.latestIsNewer || d.isSameVersion)
    d.canUpdateFile = d.deviceReady && !d.showResult && !!s.filePath
    // A customer on the latest release is offered a reinstall; otherwise the update button,
    // when there is something to offer at all.
    d.offerReinstall = !s.mfg && d.isSameVersion
    d.offerUpdate = s.usbConnected && d.otaSupported && (s.mfg || d.latestIsNewer)
    return d
}

// The guidance line (and the note shown instead when the software cannot update over USB).
// `current` is the device version as the interface shortens it.
function guidance(s, d, current) {
    if (!s.usbConnected)
        return { text: "Connect the device over USB to check for a software update.", note: "" }
    if (!d.otaSupported)
        return { text: "", note: "This device's software predates USB update — update it once over WiFi (or flash it "
                                 + "with the Bootstrap tool) to enable USB updates." }
    if (s.checking)
        return { text: "Contacting the release server…", note: "" }
    if (!d.catalogReady)
        return { text: s.catalogError ? "⚠ " + s.catalogError : "Release information is not available.", note: "" }
    if (!d.deviceKnown)
        return { text: "The device did not report a readable software version.", note: "" }
    if (s.mfg) {
        if (d.isSameVersion)
            return { text: "The device already runs " + d.target
                           + " — reinstall rewrites the software image (settings and protocols are kept).", note: "" }
        if (d.isDowngrade)
            return { text: "⚠ Downgrade: " + current + " → " + d.target + ". The device will run the older release.", note: "" }
        return { text: "Update " + current + " → " + d.target + ".", note: "" }
    }
    if (d.latestIsNewer)
        return { text: "Update available: " + current + " → " + s.latest + ". The device restarts once the image is "
                       + "verified — keep the USB cable connected until the update reports complete.", note: "" }
    return { text: "✓ Your device is up to date.", note: "" }
}

function sizeText(bytes) {
    return bytes >= 1048576 ? (bytes / 1048576).toFixed(2) + " MB" : Math.round(bytes / 1024) + " KB"
}

var Closing = "The device restarts once the image is verified. Keep the USB cable connected until the update reports complete."

// The confirmation before a run. kind: "file", "reinstall", "downgrade" or "update".
function confirmation(kind, device, current, target, fileName, fileSize) {
    if (kind === "file")
        return { title: "Update Software",
                 body: "Push " + fileName + " (" + sizeText(fileSize) + ") to " + device + " (currently " + current + ")?\n\n" + Closing }
    if (kind === "reinstall")
        return { title: "Reinstall Software",
                 body: "Reinstall software " + target + " on " + device + "?\n\nThis rewrites the device software with the same "
                       + "version. Settings and protocols on the device are kept.\n\n" + Closing }
    if (kind === "downgrade")
        return { title: "Downgrade Software",
                 body: "Downgrade " + device + " from " + current + " to " + target + "?\n\nThis installs an OLDER release. "
                       + "Settings and protocols on the device are kept, but features added since " + target
                       + " will be unavailable.\n\n" + Closing }
    return { title: "Update Software", body: "Update " + device + " from " + current + " to " + target + "?\n\n" + Closing }
}

// What a run in progress is called, and how its result is marked.
function progressTitle(ota) {
    if (ota.targetVersion)
        return (ota.reinstall ? "Reinstalling " : "Updating to ") + ota.targetVersion
    return "Updating with " + ota.sourceName
}

function resultPrefix(state) {
    return state === "Done" ? "✓ " : (state === "NeedsReplug" ? "⚠ " : "✗ ")
}
