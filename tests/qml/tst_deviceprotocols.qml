import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/DeviceProtocols.js" as DeviceProtocols

TestCase {
    name: "DeviceProtocols"

    // A store of { file: { csv, dirty } }, a library of { file: id } and a builder whose
    // CSV is valid unless it contains "BAD".
    function store(files) {
        return {
            files: files,
            hasProtocol: function (hw, f) { return this.files[f] !== undefined && this.files[f].csv !== null },
            isDirty: function (hw, f) { return this.files[f] !== undefined && this.files[f].dirty === true },
            csvData: function (hw, f) { return this.files[f] ? this.files[f].csv : "" },
            filenames: function (hw) { return Object.keys(this.files) }
        }
    }
    function library(ids) {
        return { findProtocolIdByFilename: function (f) { return ids[f] || "" } }
    }
    function builder(libraryCsv) {
        return {
            csvForLibraryProtocol: function (id) { return libraryCsv[id] },
            libraryCsvMatchesDevice: function (id, csv) { return libraryCsv[id] === csv },
            previewCsvData: function (csv) {
                return { stepCount: csv.split("\n").length, hasErrors: csv.indexOf("BAD") >= 0, splPreview: "" }
            }
        }
    }
    readonly property var panel: ({ hardwareId: "HW", pendingFetchFile: "", pendingPushFile: "", lastPushedFile: "",
                                    listedFiles: ["a.csv"] })

    function test_names() {
        compare(DeviceProtocols.displayName("Serial_Dilution.CSV"), "Serial Dilution")
        compare(DeviceProtocols.displayName("a.csv.csv"), "a.csv")
        compare(DeviceProtocols.fileNameFor("  Serial Dilution  "), "Serial_Dilution.csv")
        compare(DeviceProtocols.fileNameFor("Wash.CSV"), "Wash.CSV")
    }

    function test_badgeAndTransfer_data() {
        return [
            { tag: "orphaned without data", files: { "a.csv": { csv: null, dirty: true } }, ids: {}, lib: {}, badge: "● Not on Device", shown: false },
            { tag: "edited here, not on the device: can be sent back", files: { "a.csv": { csv: "X", dirty: true } },
              ids: {}, lib: {}, listed: [], badge: "● Not on Device", shown: true, enabled: true },
            { tag: "modified beats library", files: { "a.csv": { csv: "X", dirty: true } }, ids: { "a.csv": "L" }, lib: { L: "X" },
              badge: "● Modified", shown: true, enabled: true },
            { tag: "differs from library", files: { "a.csv": { csv: "X" } }, ids: { "a.csv": "L" }, lib: { L: "Y" },
              badge: "● Differs from Library", shown: true, enabled: true },
            { tag: "in library", files: { "a.csv": { csv: "X" } }, ids: { "a.csv": "L" }, lib: { L: "X" }, badge: "● In Library", shown: false },
            { tag: "device only", files: { "a.csv": { csv: "X" } }, ids: {}, lib: {}, badge: "● Device Only", shown: false },
            { tag: "modified with errors: shown, not enabled", files: { "a.csv": { csv: "BAD", dirty: true } }, ids: {}, lib: {},
              badge: "● Modified", shown: true, enabled: false }
        ]
    }
    function test_badgeAndTransfer(row) {
        var fields = Object.assign({}, panel)
        if (row.listed !== undefined)
            fields.listedFiles = row.listed
        var c = DeviceProtocols.card("a.csv", fields, store(row.files), builder(row.lib), library(row.ids))
        compare(DeviceProtocols.badge(c).label, row.badge)
        compare(DeviceProtocols.transferShown(c), row.shown)
        if (row.shown)
            compare(DeviceProtocols.transferEnabled(c, true), row.enabled)
        verify(!DeviceProtocols.transferEnabled(c, false))
    }

    function test_fetchQueueSkipsLocalEdits() {
        var s = store({ "a.csv": { csv: "A" }, "b.csv": { csv: "B", dirty: true } })
        compare(DeviceProtocols.filesToFetch(["c.csv", "b.csv", "a.csv"], s, "HW"), ["c.csv", "a.csv"])
        // Edited after it was queued: skipped when its turn comes.
        s.files["c.csv"] = { csv: "C", dirty: true }
        compare(DeviceProtocols.nextFetch(["c.csv", "a.csv"], s, "HW"), { file: "a.csv", queue: [] })
        compare(DeviceProtocols.nextFetch([], s, "HW"), { file: "", queue: [] })
    }

    function test_transferPlan_data() {
        return [
            { tag: "clean copy with a library method sends the library's, staged",
              files: { "a.csv": { csv: "OLD" } }, ids: { "a.csv": "L" }, lib: { L: "NEW" }, csv: "NEW", stage: true },
            { tag: "a local edit is sent as it is", files: { "a.csv": { csv: "EDIT", dirty: true } }, ids: { "a.csv": "L" }, lib: { L: "NEW" }, csv: "EDIT", stage: false },
            { tag: "a library method with errors is refused", files: { "a.csv": { csv: "OLD" } }, ids: { "a.csv": "L" }, lib: { L: "BAD" }, csv: null, refused: true },
            { tag: "no data, no transfer", files: { "a.csv": { csv: "" } }, ids: {}, lib: {}, csv: null }
        ]
    }
    function test_transferPlan(row) {
        var plan = DeviceProtocols.transferPlan("a.csv", "HW", store(row.files), builder(row.lib), library(row.ids))
        compare(plan.csv, row.csv)
        if (row.csv)
            compare(plan.stage, row.stage)
        compare(plan.refused.length > 0, row.refused === true)
    }

    function test_nameProblem() {
        var s = store({ "Wash.csv": { csv: "X" } })
        compare(DeviceProtocols.nameProblem("Wash", "HW", s), "\"Wash\" already exists on this device.")
        compare(DeviceProtocols.nameProblem("Wash 2", "HW", s), "")
        verify(DeviceProtocols.nameProblem("   ", "HW", s).length > 0)
    }
}
