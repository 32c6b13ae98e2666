.pragma library

// File names made from method names, and the small text helpers of the method library.

// Characters that no common file system accepts in a file name.
var UnsafeInFileName = /[\/\\?%*:|"<>]/g

// The name suggested when a method is exported as SPL text.
function exportFileName(methodName) {
    return String(methodName || "").replace(UnsafeInFileName, "_") + ".spl"
}

// The instrument's file system is stricter than the desktop's: a library method sent
// from its card travels under a name of ASCII letters, digits and "_" only.
// "Serial_Dilution.spl" out of a path or file URL, for "Exported …".
function fileNameOf(path) {
    var parts = String(path).split(/[\\/]/)
    return parts[parts.length - 1]
}

// A dialog's message without the dialog's own title in front of it: "Could not import
// protocol: the file is empty" under that title says "The file is empty".
function withoutTitle(message, title) {
    var text = String(message)
    var prefix = title + ": "
    if (text.indexOf(prefix) !== 0)
        return text
    text = text.substring(prefix.length)
    return text.charAt(0).toUpperCase() + text.substring(1)
}

function transferFileName(methodName) {
    return String(methodName || "").replace(/[^A-Za-z0-9]/g, "_") + ".csv"
}

// SPL text without its header line and the blank lines after it: the steps alone.
function splBody(spl) {
    var text = String(spl || "")
    var firstBreak = text.indexOf("\n")
    if (firstBreak < 0)
        return ""
    return text.substring(firstBreak + 1).replace(/^(?:[ \t]*\r?\n)+/, "").replace(/\s+$/, "")
}

var MonthNames = ["Jan", "Feb", "Mar", "Apr", "May", "Jun",
                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]

// "Oct 14, 2026": English month names whatever the computer's language, like the rest of
// the interface.
function formatModified(date) {
    if (!(date instanceof Date) || isNaN(date.getTime()))
        return ""
    return MonthNames[date.getMonth()] + " " + date.getDate() + ", " + date.getFullYear()
}

function stepCountText(count) {
    return count === 1 ? "1 step" : count + " steps"
}
