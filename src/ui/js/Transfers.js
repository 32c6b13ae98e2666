.pragma library

// What is being sent, so that the outcome can name the method and the instrument. The
// part of the interface that starts a transfer calls begin(); the toasts read the texts
// when the link reports the outcome, and the starter calls end() after that.

var current = { method: "", instrument: "" }

function begin(method, instrument) {
    current = { method: String(method || ""), instrument: String(instrument || "") }
}

function end() {
    current = { method: "", instrument: "" }
}

function what() {
    if (!current.method)
        return ""
    return "\"" + current.method + "\"" + (current.instrument ? " to " + current.instrument : "")
}

function completeText() {
    var named = what()
    return named ? "✓ Transfer complete — " + named : "✓ Transfer complete"
}

function failedText(reason) {
    var named = what()
    return named ? "✗ " + reason + " — " + named : "✗ " + reason
}
