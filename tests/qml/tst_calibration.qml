import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Gravimetry.js" as Gravimetry
import "qrc:/ui/js/Calibration.js" as Calibration

TestCase {
    name: "Calibration"

    function env(fields) {
        var e = { date: "2026-03-04", humidity: "50.0", waterTemperature: "20.0", airTemperature: "22.0", pressure: "1013.0" }
        for (var key in fields)
            e[key] = fields[key]
        return e
    }
    // The small tip's rows, each read as its target (or as `value`).
    function smallRows(value) {
        return [1, 2, 10, 50, 200].map(function (t) { var v = value === undefined ? t.toFixed(3) : value; return [v, v, v] })
    }
    readonly property var coefs: ({ st1: 1.1, st2: 1.2, st10: 1.3, st50: 1.4, st200: 1.5, lt100: 1.5, lt500: 1.6, lt1000: 1.7 })

    function test_zFactor_data() {
        return [
            { tag: "the defaults", e: {}, z: 1.002843, shown: "1.0028" },
            { tag: "air at 15.0 accepted", e: { airTemperature: "15.0" }, z: "defined", shown: "1.0029" },
            { tag: "air at 14.9 refused", e: { airTemperature: "14.9" }, z: NaN, shown: "" },
            { tag: "air at 30.0 accepted", e: { airTemperature: "30.0" }, z: "defined", shown: "1.0028" },
            { tag: "no pressure", e: { pressure: "" }, z: NaN, shown: "" }
        ]
    }
    function test_zFactor(data) {
        var z = Calibration.zOf(env(data.e))
        if (data.z === "defined")
            verify(!isNaN(z))
        else if (isNaN(data.z))
            verify(isNaN(z))
        else
            fuzzyCompare(z, data.z, 0.0000015)
        compare(Gravimetry.formatZ(z), data.shown)
    }

    function test_row() {
        var z = Calibration.zOf(env({}))
        var volume = Gravimetry.meanMass(["100.000", "100.000", "100.000"]) * z
        compare(Gravimetry.formatVolume(volume), "100.284")
        compare(Gravimetry.formatDeviation(Gravimetry.deviation(volume, 100)), "+0.28%")
        verify(Gravimetry.withinTolerance(Gravimetry.deviation(volume, 100), Calibration.tolerance(100)))
        verify(!Gravimetry.withinTolerance(Gravimetry.deviation(volume * 1.06, 500), Calibration.tolerance(500)))
        compare(Calibration.newSteps(1.5, 100, volume, ["100.000", "100.000", "100.000"], null).toFixed(3), "1.496")
        // Once these readings were saved, the value sent then is shown, not corrected again.
        compare(Calibration.newSteps(1.496, 100, volume, ["100.000", "100.000", "100.000"],
                                     { reps: ["100.000", "100.000", "100.000"], sent: 1.4957 }), 1.4957)
    }

    function test_dates_data() {
        return [
            { tag: "half typed", date: "2024-0", ok: false },
            { tag: "no such day", date: "2024-02-30", ok: false },
            { tag: "leap day", date: "2024-02-29", ok: true },
            { tag: "other pattern", date: "04.03.2026", ok: false }
        ]
    }
    function test_dates(data) {
        compare(Calibration.environmentComplete(env({ date: data.date })), data.ok)
    }

    function test_sendPlan_data() {
        return [
            { tag: "shown tip only", otherComplete: false, c: coefs, small: undefined, indices: [5, 6, 7], error: undefined },
            { tag: "both tips, in index order", otherComplete: true, c: coefs, small: undefined,
              indices: [0, 1, 2, 3, 4, 5, 6, 7], error: undefined },
            { tag: "a coefficient of 0", otherComplete: false, c: { lt100: 0, lt500: 1, lt1000: 1 }, small: "",
              indices: [], error: "Invalid calibration value for 100 µL row." },
            { tag: "not loaded", otherComplete: false, c: null, small: "", indices: [],
              error: "Calibration data not yet loaded from device. Please wait." }
        ]
    }
    function test_sendPlan(data) {
        var plan = Calibration.sendPlan({ tipIndex: 1, rows: [["100.0", "100.0", "100.0"], ["500.0", "500.0", "500.0"],
                                                             ["1000.0", "1000.0", "1000.0"]],
                                          otherRows: smallRows(data.small), otherComplete: data.otherComplete,
                                          env: env({}), coefs: data.c, snapshots: [null, null] })
        compare(plan.error, data.error)
        if (data.error !== undefined)
            return
        compare(plan.pairs.map(function (p) { return p.index }), data.indices)
        fuzzyCompare(plan.pairs[data.indices.indexOf(5)].value, 1.5 / 1.002843, 0.000002)
    }

    // Readings typed a thousand times too small (1.000 for 1000.000 mg) must never reach
    // the instrument as a thousand-fold coefficient.
    function test_aMistypedRowIsRefused() {
        var plan = Calibration.sendPlan({ tipIndex: 1, rows: [["100.0", "100.0", "100.0"], ["500.0", "500.0", "500.0"],
                                                             ["1.000", "1.000", "1.000"]],
                                          otherRows: [], otherComplete: false, env: env({}), coefs: coefs,
                                          snapshots: [null, null] })
        compare(plan.error, "Invalid calibration value for 1000 µL row.")
    }

    // Saved once: the same readings send, and a certificate prints, the values sent then,
    // though the instrument's coefficients were fetched again since.
    function test_savedReadingsKeepTheirSentValues() {
        var rows = [["100.0", "100.0", "100.0"], ["500.0", "500.0", "500.0"], ["1000.0", "1000.0", "1000.0"]]
        var s = { tipIndex: 1, rows: rows, otherRows: [], otherComplete: false, env: env({}), coefs: coefs, snapshots: [null, null] }
        var first = Calibration.sendPlan(s)
        var refetched = { lt100: first.pairs[0].value, lt500: first.pairs[1].value, lt1000: first.pairs[2].value }
        var again = Calibration.sendPlan({ tipIndex: 1, rows: rows, otherRows: [], otherComplete: false, env: env({}),
                                           coefs: refetched, snapshots: first.snapshots })
        compare(again.pairs, first.pairs)
        var printed = Calibration.exportRows([null, rows], env({}), refetched, first.snapshots)
        compare(printed.tipSize, "Large")
        compare(printed.rows[0].newCoef, first.pairs[0].value.toFixed(3))
    }

    function test_exportNeedsAnEnvironment() {
        verify(Calibration.exportAllowed(true, env({})))
        verify(!Calibration.exportAllowed(true, env({ pressure: "" })))
        verify(!Calibration.exportAllowed(true, env({ airTemperature: "31" })))
        verify(!Calibration.exportAllowed(false, env({})))
    }
}
