.pragma library

// How instruments and the program itself are named on screen. Shared by every device
// view, so one instrument reads the same in the list, the header and the dialogs.

var NamePrefix = "Nerra: "

var ThemeColors = ["#0000FF", "#E10000", "#FA7A00", "#FAC400", "#00A855", "#006420",
                   "#0AA3E2", "#6C249B", "#FF3482", "#61656A", "#444444"]
var FallbackThemeColor = "#4caf50"

// An instrument with a blank stored name advertises "Nerra: " + its serial number; that
// is not a name the user gave it, so it shows as no name at all.
function formatDeviceName(name, sn) {
    if (!name)
        return ""
    if (sn && name === NamePrefix + sn)
        return ""
    if (name.indexOf(NamePrefix) === 0)
        return name.substring(NamePrefix.length)
    return name
}

function displayDeviceName(name, sn) {
    if (name)
        return name
    if (sn)
        return sn
    return "(Unnamed)"
}

// Release builds carry the commit after the version ("v1.0.18-1f5e273"); people only
// need the version, and "-dev" still matters to them.
function formatSwVersion(ver) {
    if (!ver)
        return ""
    return String(ver).replace(/-[0-9a-f]{6,8}(-dev)?$/, "$1")
}

// The instrument reports its id with the bytes reversed against how its radio address
// is printed on the label.
function formatHardwareId(id) {
    if (typeof id !== "string" || id.length !== 12)
        return id
    var pairs = []
    for (var i = 0; i < 12; i += 2)
        pairs.push(id.substring(i, i + 2))
    return pairs.reverse().join(":")
}

function themeColor(index) {
    if (typeof index !== "number" || index !== Math.floor(index) || index < 0 || index >= ThemeColors.length)
        return FallbackThemeColor
    return ThemeColors[index]
}

// The build version as the About card shows it: without its leading "v" (or ">").
function aboutVersion(buildVersion) {
    var v = buildVersion ? String(buildVersion) : ""
    if (v.length > 0 && (v.charAt(0) === "v" || v.charAt(0) === ">"))
        v = v.substring(1)
    return v
}
