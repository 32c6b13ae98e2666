.pragma library

.import "Gravimetry.js" as Gravimetry

// The rules of the device's "Calibration" tab: the targets, what is complete, what is
// sent to the instrument and what a certificate prints. The panel passes in plain values.

var tips = [
    { label: "Small Tip", range: "1–200 µL", short: "Small",
      rows: [{ target: 1, key: "st1", index: 0 }, { target: 2, key: "st2", index: 1 }, { target: 10, key: "st10", index: 2 },
             { target: 50, key: "st50", index: 3 }, { target: 200, key: "st200", index: 4 }] },
    { label: "Large Tip", range: "100–1000 µL", short: "Large",
      rows: [{ target: 100, key: "lt100", index: 5 }, { target: 500, key: "lt500", index: 6 },
             { target: 1000, key: "lt1000", index: 7 }] }
]

var defaultEnvironment = { humidity: "50.0", waterTemperature: "20.0", airTemperature: "22.0", pressure: "1013.0" }

function tolerance(target) {
    if (target === 1)
        return 20
    return target === 2 || target === 100 ? 10 : 5
}

function airTemperatureError(text) {
    if (String(text).trim().length === 0)
        return ""
    var value = Gravimetry.number(text)
    return isNaN(value) || value < 15 || value > 30 ? "Value must be between 15 °C ≤ X ≤ 30 °C" : ""
}

// A real calendar day written in full: a half-typed date is no date.
function isValidDate(text) {
    var match = /^(\d{4})-(\d{2})-(\d{2})$/.exec(String(text))
    if (!match)
        return false
    var year = Number(match[1]), month = Number(match[2]), day = Number(match[3])
    var date = new Date(Date.UTC(year, month - 1, day))
    return date.getUTCFullYear() === year && date.getUTCMonth() === month - 1 && date.getUTCDate() === day
}

// The four conditions as typed, each given and the air temperature in range.
function conditionsComplete(env) {
    return String(env.humidity).trim().length > 0
        && String(env.waterTemperature).trim().length > 0 && String(env.airTemperature).trim().length > 0
        && String(env.pressure).trim().length > 0 && airTemperatureError(env.airTemperature) === ""
}

// env: { date, humidity, waterTemperature, airTemperature, pressure } as typed.
function environmentComplete(env) {
    return isValidDate(env.date) && conditionsComplete(env)
}

function zOf(env) {
    return Gravimetry.zFactor(env, airTemperatureError(env.airTemperature) === "")
}

function rowsComplete(rows) {
    for (var i = 0; i < rows.length; ++i) {
        if (isNaN(Gravimetry.meanMass(rows[i])))
            return false
    }
    return rows.length > 0
}

function sameReadings(reps, snapshotRow) {
    if (!snapshotRow)
        return false
    for (var i = 0; i < 3; ++i) {
        if (String(reps[i]) !== String(snapshotRow.reps[i]))
            return false
    }
    return true
}

// The coefficient to send for one row, { value } or { error }. A correction far outside
// anything a real pipette needs (a mistyped reading) is refused, never written.
function rowValue(current, target, meanVolume) {
    var refused = { error: "Invalid calibration value for " + target + " µL row." }
    if (!(typeof current === "number" && current > 0) || !(meanVolume > 0))
        return refused
    var correction = target / meanVolume
    if (correction < 0.5 || correction > 2)
        return refused
    return { value: current * correction }
}

// "New Steps" as shown: the value sent at the last save while the readings are the ones
// saved, otherwise the current coefficient corrected by this row.
function newSteps(current, target, meanVolume, reps, snapshotRow) {
    if (sameReadings(reps, snapshotRow))
        return snapshotRow.sent
    return typeof current === "number" && meanVolume > 0 ? current * (target / meanVolume) : NaN
}

// One tip's (index, value) pairs and its snapshot, or { error } (an empty error: stop
// without a word). rows: per row the three reading texts; snapshot: the last save's.
function tipPairs(tipIndex, rows, z, coefs, snapshot) {
    var tip = tips[tipIndex]
    var pairs = [], taken = []
    for (var i = 0; i < tip.rows.length; ++i) {
        var row = tip.rows[i]
        var reps = rows[i]
        var value
        if (snapshot && sameReadings(reps, snapshot[i])) {
            value = snapshot[i].sent
        } else {
            var result = rowValue(coefs[row.key], row.target, Gravimetry.meanMass(reps) * z)
            if (result.error)
                return result
            value = result.value
        }
        pairs.push({ index: row.index, value: value })
        taken.push({ reps: reps.slice(), sent: value })
    }
    return { pairs: pairs, snapshot: taken }
}

// What "Save & Send to Device" sends: { pairs, snapshots: [small, large] } or { error }.
// s: { tipIndex, rows (shown), otherRows, otherComplete, env, coefs, snapshots }
function sendPlan(s) {
    if (!s.coefs)
        return { error: "Calibration data not yet loaded from device. Please wait." }
    var z = zOf(s.env)
    var snapshots = [null, null]
    var shown = tipPairs(s.tipIndex, s.rows, z, s.coefs, s.snapshots[s.tipIndex])
    if (shown.error !== undefined)
        return shown
    snapshots[s.tipIndex] = shown.snapshot
    var pairs = shown.pairs
    if (s.otherComplete) {
        if (isNaN(z))
            return { error: "Temperature and pressure are required to compute Z correction." }
        var other = 1 - s.tipIndex
        var more = tipPairs(other, s.otherRows, z, s.coefs, s.snapshots[other])
        if (more.error !== undefined)
            return more
        snapshots[other] = more.snapshot
        pairs = pairs.concat(more.pairs)
    }
    pairs.sort(function (a, b) { return a.index - b.index })
    return { pairs: pairs, snapshots: snapshots }
}

// A certificate is only worth printing with a complete environment and a defined Z.
function exportAllowed(shownComplete, env) {
    return shownComplete && environmentComplete(env) && !isNaN(zOf(env))
}

// The certificate's rows for the tips with complete readings (mean volume and the
// coefficient as it is or as it was sent).
function exportRows(tipsRows, env, coefs, snapshots) {
    var z = zOf(env)
    var rows = []
    var included = []
    for (var t = 0; t < tips.length; ++t) {
        if (!tipsRows[t] || !rowsComplete(tipsRows[t]))
            continue
        included.push(tips[t].short)
        for (var i = 0; i < tips[t].rows.length; ++i) {
            var row = tips[t].rows[i]
            var reps = tipsRows[t][i]
            var average = Gravimetry.meanMass(reps) * z
            var steps = coefs ? newSteps(coefs[row.key], row.target, average, reps, snapshots[t] ? snapshots[t][i] : null) : NaN
            rows.push({ target: row.target, rep1: Gravimetry.number(reps[0]), rep2: Gravimetry.number(reps[1]),
                        rep3: Gravimetry.number(reps[2]), average: average,
                        newCoef: isNaN(steps) ? "" : steps.toFixed(3) })
        }
    }
    return { tipSize: included.join(" + "), rows: rows }
}
