import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Editor.js" as Editor

TestCase {
    name: "EditorLogic"

    function test_typedVolumes() {
        compare(Editor.splitVolume(12.3), { whole: 12, fractional: 3 })   // despite float noise
        compare(Editor.splitVolume(12.96), { whole: 13, fractional: 0 }, "not 12 and ten tenths")
        compare(Editor.formatVolume(Editor.volumeOf(37, 5)), "37.5")
        compare(Editor.parseNumber(" 12.5 "), 12.5)
        compare(Editor.parseNumber("0,5"), 0.5)
        compare(Editor.parseNumber(".5"), 0.5)
        verify(isNaN(Editor.parseNumber("")))
        verify(isNaN(Editor.parseNumber("12a")))
        verify(isNaN(Editor.parseNumber("1e3")))
    }

    function test_insertionIndex() {
        // Step midpoints at 20, 60, 100.
        compare(Editor.insertionIndex([20, 60, 100], 19), 0)
        compare(Editor.insertionIndex([20, 60, 100], 21), 1)
        compare(Editor.insertionIndex([20, 60, 100], 300), 3)
    }

    function test_moveTarget() {
        compare(Editor.moveTarget(1, 3, 4), 2, "down: the step leaves its place first")
        compare(Editor.moveTarget(3, 1, 4), 1, "up to just after the tip select")
        compare(Editor.moveTarget(3, 0, 4), -1, "onto index 0")
        compare(Editor.moveTarget(0, 3, 4), -1, "the tip select never moves")
        compare(Editor.moveTarget(2, 3, 4), -1, "dropped just below itself")
    }

    function test_indexErrors() {
        compare(Editor.locationKey("step 3.2.1"), "2.1.0")
        compare(Editor.locationKey("step 0"), "")
        var index = Editor.indexErrors([
            { commandPath: "step 1", message: "First step must be 'Tip Select'" },
            { commandPath: "step 3.2", message: "Speed must be between 1 and 7" },
            { commandPath: "step 3.1", message: "x" },
            { commandPath: "step 1", message: "Speed must be between 1 and 7" },
            { commandPath: "protocol", message: "Protocol must contain at least one aspirate, dispense, or repeat step" }
        ])
        compare(index.steps["0"].length, 2)
        compare(index.steps["2.1"][0].message, "Speed must be between 1 and 7")
        compare(index.inLoop["2"], 2, "a loop counts the errors inside it")
        compare(index.steps["2"], undefined)
        compare(index.method.length, 1)
        compare(Editor.indexErrors(undefined).method.length, 0)
    }

    function test_fixFor_data() {
        return [
            { tag: "extra volume comes off", step: { type: "dispense", extraVolume: 10 }, fix: 150, property: "volume", value: 140 },
            { tag: "airgap keeps tenths", step: { type: "airgap", extraVolume: 0 }, fix: 12.3, property: "volume", value: 12.3 },
            { tag: "repeat shares it between replicates", step: { type: "repeat", replicates: 3 }, fix: 200, property: "dispenseVolume", value: 66.6 },
            { tag: "repeat with less than a tenth each", step: { type: "repeat", replicates: 30 }, fix: 2, property: "" },
            { tag: "extra volume alone fills it", step: { type: "aspirate", extraVolume: 20 }, fix: 20, property: "" },
            { tag: "no suggestion", step: { type: "aspirate", extraVolume: 0 }, fix: undefined, property: "" },
            { tag: "mix has no fix", step: { type: "mix" }, fix: 20, property: "" }
        ]
    }
    function test_fixFor(row) {
        var fix = Editor.fixFor(row.step, row.fix)
        if (row.property === "")
            return compare(fix, null)
        compare(fix.property, row.property)
        fuzzyCompare(fix.value, row.value, 1e-9)
    }
}
