import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Software.js" as Software

TestCase {
    name: "Software"

    function compareVersions(a, b) {
        var x = a.split("."), y = b.split(".")
        for (var i = 0; i < 3; ++i) {
            if (Number(x[i]) !== Number(y[i]))
                return Number(x[i]) - Number(y[i])
        }
        return 0
    }
    function inputs(fields) {
        var s = { usbConnected: true, otaVersion: 1, busy: false, linkTransferring: false, state: "Idle", latest: "1.5.0",
                  catalogEnv: "prod", env: "prod", deviceVersion: "1.4.2", picked: "", mfg: false, filePath: "",
                  checking: false, catalogError: "", compare: compareVersions }
        for (var key in fields)
            s[key] = fields[key]
        return s
    }

    function test_offers_data() {
        return [
            { tag: "customer, newer release", s: {}, update: true, reinstall: false, can: true,
              text: "Update available: 1.4.2 → 1.5.0. The device restarts once the image is verified — keep the USB cable connected until the update reports complete." },
            { tag: "customer, up to date: a reinstall", s: { deviceVersion: "1.5.0" }, update: false, reinstall: true, can: true,
              text: "✓ Your device is up to date." },
            { tag: "customer never offered an older release", s: { deviceVersion: "1.6.0" }, update: false, reinstall: false, can: false,
              text: "✓ Your device is up to date." },
            { tag: "manufacturing, an older pick", s: { mfg: true, picked: "1.4.0" }, update: true, reinstall: false, can: true,
              text: "⚠ Downgrade: 1.4.2 → 1.4.0. The device will run the older release." },
            { tag: "manufacturing, the same version", s: { mfg: true, deviceVersion: "1.5.0" }, update: true, reinstall: false, can: true,
              text: "The device already runs 1.5.0 — reinstall rewrites the software image (settings and protocols are kept)." },
            { tag: "no USB update in the device", s: { otaVersion: 0 }, update: false, reinstall: false, can: false, text: "" },
            { tag: "a result not yet dismissed", s: { state: "Failed" }, update: true, reinstall: false, can: false,
              text: "Update available: 1.4.2 → 1.5.0. The device restarts once the image is verified — keep the USB cable connected until the update reports complete." },
            { tag: "catalogue of another channel", s: { catalogEnv: "dev", catalogError: "no release server configured" },
              update: false, reinstall: false, can: false, text: "⚠ no release server configured" },
            { tag: "not connected", s: { usbConnected: false }, update: false, reinstall: false, can: false,
              text: "Connect the device over USB to check for a software update." },
            { tag: "no readable version", s: { deviceVersion: "" }, update: false, reinstall: false, can: false,
              text: "The device did not report a readable software version." }
        ]
    }
    function test_offers(row) {
        var s = inputs(row.s)
        var d = Software.derive(s)
        compare(d.offerUpdate && !d.offerReinstall, row.update)
        compare(d.offerReinstall, row.reinstall)
        compare(d.canUpdateRelease, row.can)
        compare(Software.guidance(s, d, s.deviceVersion).text, row.text)
    }

    function test_texts() {
        compare(Software.sizeText(3 * 1048576 / 2), "1.50 MB")
        compare(Software.sizeText(307 * 1024 + 600), "308 KB")
        compare(Software.confirmation("downgrade", "Bench", "1.4.2", "1.4.0").title, "Downgrade Software")
        compare(Software.confirmation("file", "Bench", "1.4.2", "", "fw.bin", 2048).body.split("\n")[0],
                "Push fw.bin (2 KB) to Bench (currently 1.4.2)?")
        compare(Software.progressTitle({ targetVersion: "1.5.0", reinstall: true }), "Reinstalling 1.5.0")
        compare(Software.progressTitle({ targetVersion: "", sourceName: "fw.bin" }), "Updating with fw.bin")
        compare([Software.resultPrefix("Done"), Software.resultPrefix("NeedsReplug"), Software.resultPrefix("Failed")], ["✓ ", "⚠ ", "✗ "])
        compare(Software.States[10], "NeedsReplug")
    }
}
