import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Editor.js" as Editor

TestCase {
    name: "EditorLogic"

    function test_splitVolume_data() {
        return [
            { tag: "whole", value: 100, whole: 100, fractional: 0 },
            { tag: "tenths", value: 12.5, whole: 12, fractional: 5 },
            { tag: "float noise", value: 12.3, whole: 12, fractional: 3 },
            { tag: "rounds up into the next whole", value: 12.96, whole: 13, fractional: 0 },
            { tag: "hundredths rounded", value: 0.04, whole: 0, fractional: 0 },
            { tag: "zero", value: 0, whole: 0, fractional: 0 }
        ]
    }
    function test_splitVolume(row) {
        var parts = Editor.splitVolume(row.value)
        compare(parts.whole, row.whole)
        compare(parts.fractional, row.fractional)
    }

    function test_parseNumber() {
        compare(Editor.parseNumber("12.5"), 12.5)
        compare(Editor.parseNumber(" 7 "), 7)
        compare(Editor.parseNumber("0,5"), 0.5)
        compare(Editor.parseNumber(".5"), 0.5)
        verify(isNaN(Editor.parseNumber("")))
        verify(isNaN(Editor.parseNumber("12a")))
        verify(isNaN(Editor.parseNumber("1e3")))
    }

    function test_formatVolume() {
        compare(Editor.formatVolume(100), "100.0")
        compare(Editor.formatVolume(12.5), "12.5")
        compare(Editor.formatVolume(Editor.volumeOf(37, 5)), "37.5")
    }

    function test_insertionIndex_data() {
        // Step midpoints at 20, 60, 100 (steps 40 px tall).
        return [
            { tag: "above everything", y: 5, expected: 0 },
            { tag: "upper half of the first", y: 19, expected: 0 },
            { tag: "lower half of the first", y: 21, expected: 1 },
            { tag: "between second and third", y: 80, expected: 2 },
            { tag: "below everything", y: 300, expected: 3 }
        ]
    }
    function test_insertionIndex(row) {
        compare(Editor.insertionIndex([20, 60, 100], row.y), row.expected)
    }

    function test_moveTarget_data() {
        return [
            { tag: "down past one", from: 1, insertion: 3, count: 4, expected: 2 },
            { tag: "to the end", from: 1, insertion: 4, count: 4, expected: 3 },
            { tag: "up to just after the tip select", from: 3, insertion: 1, count: 4, expected: 1 },
            { tag: "onto index 0 refused", from: 3, insertion: 0, count: 4, expected: -1 },
            { tag: "the tip select never moves", from: 0, insertion: 3, count: 4, expected: -1 },
            { tag: "dropped in place", from: 2, insertion: 2, count: 4, expected: -1 },
            { tag: "dropped just below itself", from: 2, insertion: 3, count: 4, expected: -1 },
            { tag: "source out of range", from: 4, insertion: 1, count: 4, expected: -1 }
        ]
    }
    function test_moveTarget(row) {
        compare(Editor.moveTarget(row.from, row.insertion, row.count), row.expected)
    }

    function test_locationKey() {
        compare(Editor.locationKey("step 1"), "0")
        compare(Editor.locationKey("step 3.2"), "2.1")
        compare(Editor.locationKey("step 3.2.1"), "2.1.0")
        compare(Editor.locationKey("protocol"), "")
        compare(Editor.locationKey("step 0"), "")
        compare(Editor.locationKey(undefined), "")
    }

    function test_indexErrors() {
        var index = Editor.indexErrors([
            { commandPath: "step 1", message: "First step must be 'Tip Select'" },
            { commandPath: "step 3.2", message: "Speed must be between 1 and 7" },
            { commandPath: "step 3.1", message: "x" },
            { commandPath: "step 1", message: "Speed must be between 1 and 7" },
            { commandPath: "protocol", message: "Protocol must contain at least one aspirate, dispense, or repeat step" }
        ])
        compare(index.steps["0"].length, 2)
        compare(index.steps["2.1"][0].message, "Speed must be between 1 and 7")
        compare(index.inLoop["2"], 2)
        compare(index.steps["2"], undefined)
        compare(index.method.length, 1)
        compare(Editor.indexErrors(undefined).method.length, 0)
    }

    function test_fixFor_data() {
        return [
            { tag: "aspirate without extra", step: { type: "aspirate", extraVolume: 0 }, fix: 50,
              property: "volume", value: 50 },
            { tag: "extra volume comes off", step: { type: "dispense", extraVolume: 10 }, fix: 150,
              property: "volume", value: 140 },
            { tag: "airgap keeps tenths", step: { type: "airgap", extraVolume: 0 }, fix: 12.3,
              property: "volume", value: 12.3 },
            { tag: "repeat shares it between replicates", step: { type: "repeat", replicates: 3 }, fix: 200,
              property: "dispenseVolume", value: 66.6 },
            { tag: "nothing left to take", step: { type: "aspirate", extraVolume: 0 }, fix: 0, property: "", value: 0 },
            { tag: "extra volume alone fills it", step: { type: "aspirate", extraVolume: 20 }, fix: 20, property: "", value: 0 },
            { tag: "no suggestion", step: { type: "aspirate", extraVolume: 0 }, fix: undefined, property: "", value: 0 },
            { tag: "mix has no fix", step: { type: "mix" }, fix: 20, property: "", value: 0 }
        ]
    }
    function test_fixFor(row) {
        var fix = Editor.fixFor(row.step, row.fix)
        if (row.property === "") {
            compare(fix, null)
            return
        }
        compare(fix.property, row.property)
        fuzzyCompare(fix.value, row.value, 1e-9)
    }

    function test_stepLabel() {
        compare(Editor.stepLabel("airgap"), "Air Gap")
        compare(Editor.stepLabel("tipselect"), "Tip Select")
        compare(Editor.StepTypes.map(function (t) { return t.label }),
                ["Tip Select", "Aspirate", "Air Gap", "Dispense", "Purge", "Mix", "Repeat", "Loop"])
    }
}
