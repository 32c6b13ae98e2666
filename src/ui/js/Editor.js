.pragma library

// The method editor's own arithmetic: typed volumes, drag targets, where the builder's
// validation errors belong, and what a suggested "fix" changes.

var StepTypes = [
    { type: "tipselect", label: "Tip Select" },
    { type: "aspirate", label: "Aspirate" },
    { type: "airgap", label: "Air Gap" },
    { type: "dispense", label: "Dispense" },
    { type: "purge", label: "Purge" },
    { type: "mix", label: "Mix" },
    { type: "repeat", label: "Repeat" },
    { type: "loop", label: "Loop" }
]

function stepLabel(type) {
    for (var i = 0; i < StepTypes.length; ++i) {
        if (StepTypes[i].type === type)
            return StepTypes[i].label
    }
    return type
}

// A typed volume as the commands hold it: whole µL and tenths. 12.96 becomes 13.0, not
// 12 and ten tenths.
function splitVolume(value) {
    var whole = Math.floor(value)
    var fractional = Math.round((value - whole) * 10)
    if (fractional >= 10) {
        whole += 1
        fractional -= 10
    }
    return { whole: whole, fractional: fractional }
}

function formatVolume(value) {
    return (Math.round(value * 10) / 10).toFixed(1)
}

function volumeOf(whole, fractional) {
    return whole + fractional / 10
}

// Reads a typed number; "" and anything unreadable give NaN. A comma is taken as the
// decimal separator too.
function parseNumber(text) {
    var trimmed = String(text === undefined || text === null ? "" : text).trim().replace(",", ".")
    if (trimmed === "" || !/^[-+]?(\d+\.?\d*|\.\d+)$/.test(trimmed))
        return NaN
    return Number(trimmed)
}

// Where a dragged step would land: before the first step whose vertical midpoint lies
// below the pointer, or after the last. `midpoints` are in the list's coordinates.
function insertionIndex(midpoints, y) {
    for (var i = 0; i < midpoints.length; ++i) {
        if (midpoints[i] > y)
            return i
    }
    return midpoints.length
}

// The builder's move takes the step out first and then inserts it, so a drop below the
// step's own place lands one index earlier. -1 when the move is not allowed: the leading
// Tip Select never moves, nothing moves in front of it, and a drop where the step already
// is changes nothing.
function moveTarget(from, insertion, count) {
    if (from < 1 || from >= count)
        return -1
    var to = insertion > from ? insertion - 1 : insertion
    if (to < 1 || to >= count || to === from)
        return -1
    return to
}

// Zero-based key of a validation location: "step 3" gives "2", "step 3.2" gives "2.1",
// "protocol" gives "".
function locationKey(commandPath) {
    var match = /^step ([0-9.]+)$/.exec(String(commandPath || ""))
    if (!match)
        return ""
    var parts = match[1].split(".")
    var keys = []
    for (var i = 0; i < parts.length; ++i) {
        var n = parseInt(parts[i], 10)
        if (isNaN(n) || n < 1)
            return ""
        keys.push(n - 1)
    }
    return keys.join(".")
}

// The builder's error list sorted by where each error belongs: `steps` maps a step key
// ("2", "2.1") to its errors, `inLoop` counts the errors inside each top-level loop body,
// and `method` holds the errors about the method as a whole.
function indexErrors(validationErrors) {
    var result = { steps: {}, inLoop: {}, method: [] }
    var list = validationErrors || []
    for (var i = 0; i < list.length; ++i) {
        var error = list[i]
        var key = locationKey(error.commandPath)
        if (key === "") {
            result.method.push(error)
            continue
        }
        if (!result.steps[key])
            result.steps[key] = []
        result.steps[key].push(error)
        var top = key.split(".")[0]
        if (key !== top)
            result.inLoop[top] = (result.inLoop[top] || 0) + 1
    }
    return result
}

// What the "fix" of an error changes on its step, or null when it offers nothing usable.
// The suggested volume is what the step may move in all, extra volume included; a Repeat
// takes it as its replicates' dispense volume.
function fixFor(step, fixVolume) {
    if (typeof fixVolume !== "number" || isNaN(fixVolume) || fixVolume < 0 || !step)
        return null
    if (step.type === "repeat") {
        var replicates = step.replicates > 0 ? step.replicates : 1
        var dose = Math.floor(fixVolume * 10 / replicates + 1e-9) / 10
        return dose > 0 ? { property: "dispenseVolume", value: dose } : null
    }
    if (step.type === "aspirate" || step.type === "airgap" || step.type === "dispense") {
        var volume = Math.round((fixVolume - (step.extraVolume || 0)) * 10) / 10
        return volume > 0 ? { property: "volume", value: volume } : null
    }
    return null
}
