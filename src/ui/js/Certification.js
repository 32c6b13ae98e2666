.pragma library

.import "Gravimetry.js" as Gravimetry
.import "Calibration.js" as Calibration

// The rules of the device's "Certification" tab: which workbook belongs to which
// instrument, what may be printed and stored, and what the footer says. The panel passes
// in plain values; the numbers come from the certification manager.

// Statuses that wait for the link's answer stay until it comes; the others fade.
var lastingStatuses = ["Saving…", "Downloading…"]

// Balance exports are named "<prefix>-<serial>-<rest>". A serial number may hold dashes
// of its own ("NS-CFD10E"): it then spans as many pieces as it has parts.
function fileSerial(fileName, serial) {
    var pieces = String(fileName || "").split("-")
    if (pieces.length < 2)
        return ""
    var parts = String(serial || "").split("-").length
    return pieces.slice(1, 1 + parts).join("-").trim()
}

// s: { result, loadedFromDevice, serialNumber }
function serialMismatch(s) {
    if (!s.result || s.loadedFromDevice || !s.serialNumber)
        return false
    var name = String(s.result.fileName || "")
    var fromFile = fileSerial(name, s.serialNumber)
    if (fromFile.length > 0)
        return fromFile.toLowerCase() !== s.serialNumber.toLowerCase()
    return name.toLowerCase().indexOf(s.serialNumber.toLowerCase()) < 0
}

function hasResult(result) {
    return !!result && result.ok === true
}

function dataValid(result) {
    return hasResult(result) && result.valid === true
}

function conditionsComplete(env) {
    return Calibration.conditionsComplete(env)
}

// The Z of the conditions as typed, NaN until they define it.
function zOf(env) {
    return Calibration.zOf(env)
}

// s: { result, loadedFromDevice, serialNumber, technician, env }
function canGenerate(s) {
    return dataValid(s.result) && !serialMismatch(s) && !!s.serialNumber
        && String(s.technician || "").trim().length > 0 && (s.loadedFromDevice || conditionsComplete(s.env))
}

// s: canGenerate's, and { usb, connected, transferring }
function canSaveToDevice(s) {
    return canGenerate(s) && s.usb && s.connected && !s.loadedFromDevice && !s.transferring
}

// The footer when no status is shown.
function guidance(s) {
    if (s.loadedFromDevice && hasResult(s.result))
        return "Loaded from device — re-print available."
    if (serialMismatch(s))
        return "This file's serial number doesn't match the connected device — discard it and import the correct file."
    if (hasResult(s.result) && !dataValid(s.result))
        return "Resolve the data issues above to certify."
    if (hasResult(s.result) && !s.loadedFromDevice && !conditionsComplete(s.env))
        return "Fill in all Environmental Conditions to compute the Z Correction Factor."
    if (!s.serialNumber)
        return "Connect the device to capture its serial number."
    if (String(s.technician || "").trim().length === 0)
        return "Enter the technician name."
    return ""
}

function number(text) {
    return Gravimetry.number(text)
}

// What the certificate prints. The Z is the one the results were computed with: for a
// record from the instrument that is its own, whatever the form shows now.
function printData(result, form) {
    var z = Number(result.zFactor)
    return { serialNumber: form.serialNumber, date: form.date, technician: form.technician,
             volumeAccuracyPass: result.overallPass === true, humidity: form.humidity,
             waterTemperature: form.waterTemperature, airTemperature: form.airTemperature, pressure: form.pressure,
             zFactor: z > 0 ? z.toFixed(4) : "", results: result.results || [] }
}

// The form's values of a stored record; what it lacks stays empty.
function recordForm(record) {
    function text(key) {
        var value = record[key]
        return value === undefined || value === null ? "" : String(value)
    }
    return { date: text("date"), technician: text("technician"), humidity: text("humidity"),
             waterTemperature: text("waterTemperature"), airTemperature: text("airTemperature"),
             pressure: text("pressure") }
}

function percent(value) {
    return Number(value).toFixed(2) + "%"
}

function spec(value) {
    return "± " + Number(value) + "%"
}

function weight(value) {
    return Number(value).toFixed(4) + " mg"
}
