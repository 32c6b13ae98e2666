.pragma library

// Gravimetric arithmetic shared by the calibration and certification panels: balance
// readings (mg) become delivered volume (µL) through the Z factor of the environment.

function number(text) {
    if (text === null || text === undefined)
        return NaN
    var trimmed = String(text).trim()
    return trimmed.length > 0 && /^[-+]?(\d+\.?\d*|\.\d+)$/.test(trimmed) ? Number(trimmed) : NaN
}

// kg/L (g/mL) of moist air: humidity H (%), air temperature a (°C), pressure P (hPa).
function airDensity(H, a, P) {
    return 0.001 * (0.34848 * P - 0.009 * H * Math.exp(0.061 * a)) / (a + 273.15)
}

// g/mL of air-free water at w (°C) (Tanaka).
function waterDensity(w) {
    var d = w - 3.983035
    return 0.99997495 * (1 - (d * d * (w + 301.797)) / (522528.9 * (w + 69.34881)))
}

// µL per mg, or NaN when the environment does not define it. env: texts of humidity,
// waterTemperature, airTemperature, pressure; `airTemperatureOk` false blocks it.
function zFactor(env, airTemperatureOk) {
    var H = number(env.humidity), w = number(env.waterTemperature), a = number(env.airTemperature),
        P = number(env.pressure)
    if (isNaN(H) || isNaN(w) || isNaN(a) || isNaN(P) || !(P > 0) || !airTemperatureOk)
        return NaN
    var rhoA = airDensity(H, a, P)
    var rhoW = waterDensity(w)
    return (1 / (rhoW - rhoA)) * (1 - rhoA / 8) * (1 - 0.0001 * (w - 20))
}

function formatZ(z) {
    return isNaN(z) ? "" : z.toFixed(4)
}

// The mean of three readings, or NaN unless all three are numbers.
function meanMass(reps) {
    if (!reps || reps.length !== 3)
        return NaN
    var sum = 0
    for (var i = 0; i < 3; ++i) {
        var value = number(reps[i])
        if (isNaN(value))
            return NaN
        sum += value
    }
    return sum / 3
}

function formatVolume(volume) {
    return isNaN(volume) ? "—" : volume.toFixed(3)
}

// Percent of the target; NaN while the volume is.
function deviation(volume, target) {
    return (volume - target) / target * 100
}

function formatDeviation(percent) {
    if (isNaN(percent))
        return "—"
    if (Math.abs(percent) < 0.005)
        return "✓"
    return (percent >= 0 ? "+" : "") + percent.toFixed(2) + "%"
}

function withinTolerance(percent, tolerance) {
    return !isNaN(percent) && Math.abs(percent) <= tolerance
}
