import QtQuick 2.15
import QtTest 1.15
import "qrc:/ui/js/Certification.js" as Certification

TestCase {
    name: "Certification"

    readonly property var env: ({ humidity: "50.0", waterTemperature: "20.0", airTemperature: "22.0", pressure: "1013.0" })
    function result(fileName, valid) {
        return { ok: true, fileName: fileName, valid: valid !== false, overallPass: true, zFactor: 1.0031, results: [] }
    }
    function state(fields) {
        var s = { result: result("Q-NS-CFD10E-20261207.xlsx"), loadedFromDevice: false, serialNumber: "NS-CFD10E",
                  technician: "A. Tech", env: env, usb: true, connected: true, transferring: false }
        for (var key in fields)
            s[key] = fields[key]
        return s
    }

    function test_serialMismatch_data() {
        return [
            { tag: "serial with a dash of its own", s: {}, mismatch: false },
            { tag: "another instrument's export", s: { result: result("Q-NS-AAAAAA-20261207.xlsx") }, mismatch: true },
            { tag: "case is no difference", s: { result: result("q-ns-cfd10e-x.xlsx") }, mismatch: false },
            { tag: "plain serial, second piece", s: { serialNumber: "SN42", result: result("A-SN42-x.xlsx") }, mismatch: false },
            { tag: "no dash: the name must hold the serial", s: { serialNumber: "SN42", result: result("certSN42.xlsx") }, mismatch: false },
            { tag: "no dash and no serial", s: { result: result("balance.xlsx") }, mismatch: true },
            { tag: "a record from the instrument", s: { result: result("Q-OTHER-1.xlsx"), loadedFromDevice: true }, mismatch: false },
            { tag: "no serial known", s: { serialNumber: "", result: result("Q-OTHER-1.xlsx") }, mismatch: false }
        ]
    }
    function test_serialMismatch(data) {
        compare(Certification.serialMismatch(state(data.s)), data.mismatch)
    }

    function test_gates_data() {
        return [
            { tag: "everything given", s: {}, generate: true, save: true, guidance: "" },
            { tag: "data issues", s: { result: result("Q-NS-CFD10E-1.xlsx", false) }, generate: false, save: false,
              guidance: "Resolve the data issues above to certify." },
            { tag: "mismatch", s: { result: result("Q-NS-AAAAAA-1.xlsx") }, generate: false, save: false,
              guidance: "This file's serial number doesn't match the connected device — discard it and import the correct file." },
            { tag: "conditions missing", s: { env: { humidity: "", waterTemperature: "20", airTemperature: "22", pressure: "1013" } },
              generate: false, save: false, guidance: "Fill in all Environmental Conditions to compute the Z Correction Factor." },
            { tag: "air out of range", s: { env: { humidity: "50", waterTemperature: "20", airTemperature: "31", pressure: "1013" } },
              generate: false, save: false, guidance: "Fill in all Environmental Conditions to compute the Z Correction Factor." },
            { tag: "a record reprints without conditions", s: { loadedFromDevice: true, env: {} }, generate: true, save: false,
              guidance: "Loaded from device — re-print available." },
            { tag: "no technician", s: { technician: "  " }, generate: false, save: false, guidance: "Enter the technician name." },
            { tag: "no instrument", s: { serialNumber: "", connected: false }, generate: false, save: false,
              guidance: "Connect the device to capture its serial number." },
            { tag: "over Bluetooth LE", s: { usb: false }, generate: true, save: false, guidance: "" },
            { tag: "while transferring", s: { transferring: true }, generate: true, save: false, guidance: "" }
        ]
    }
    function test_gates(data) {
        var s = state(data.s)
        compare(Certification.canGenerate(s), data.generate)
        compare(Certification.canSaveToDevice(s), data.save)
        compare(Certification.guidance(s), data.guidance)
    }

    function test_printData() {
        // A stored record prints the Z its results were computed with, not the form's.
        var printed = Certification.printData({ zFactor: 1.00312, overallPass: false, results: [{ cp: 1 }] },
                                              { serialNumber: "NS-1", date: "2026-12-07", technician: "T",
                                                humidity: "", waterTemperature: "20", airTemperature: "22",
                                                pressure: "1013" })
        compare(printed.zFactor, "1.0031")
        compare(printed.volumeAccuracyPass, false)
        compare(printed.results.length, 1)
        compare(Certification.recordForm({ date: "2026-01-02", humidity: 45 }).humidity, "45")
        compare(Certification.recordForm({ date: "2026-01-02" }).pressure, "")
    }
}
