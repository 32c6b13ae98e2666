.pragma library

// The device protocols panel's rules. Three copies of a protocol are kept apart: the
// instrument's (authoritative), the local one in the device protocol store, and a library
// method of the same name. Local saves never reach the instrument; only a transfer does.
// The controllers are passed in, so that the rules can be tried against stand-ins.

// "Serial_Dilution.CSV" is shown as "Serial Dilution".
function displayName(filename) {
    return String(filename || "").replace(/\.csv$/i, "").replace(/_/g, " ")
}

// "Serial Dilution" is stored as "Serial_Dilution.csv".
function fileNameFor(name) {
    var file = String(name || "").trim().replace(/ /g, "_")
    return /\.csv$/i.test(file) ? file : file + ".csv"
}

// Everything a card shows about one file. `panel` carries the panel's own fields:
// { hardwareId, pendingFetchFile, pendingPushFile, lastPushedFile, listedFiles } where
// listedFiles is the instrument's last listing (null before the first).
function card(filename, panel, store, builder, library) {
    var hw = panel.hardwareId
    var hasData = store.hasProtocol(hw, filename)
    var dirty = store.isDirty(hw, filename)
    var csv = hasData ? store.csvData(hw, filename) : null
    var libraryId = library.findProtocolIdByFilename(filename)
    var preview = hasData ? builder.previewCsvData(csv) : null
    return {
        filename: filename,
        displayName: displayName(filename),
        hasData: hasData,
        dirty: dirty,
        // Edited here and not on the instrument (any more): the local copy is all there is.
        isOrphaned: dirty && (!hasData || (!!panel.listedFiles && panel.listedFiles.indexOf(filename) < 0)),
        isFetching: filename === panel.pendingFetchFile,
        isPushing: filename === panel.pendingPushFile,
        justPushed: filename === panel.lastPushedFile,
        libraryId: libraryId,
        inSync: !!libraryId && hasData && builder.libraryCsvMatchesDevice(libraryId, csv),
        stepCount: preview ? preview.stepCount : -1,
        hasErrors: preview ? preview.hasErrors === true : false,
        splPreview: preview ? String(preview.splPreview || "") : ""
    }
}

// The first matching row wins.
function badge(c) {
    if (c.isOrphaned)
        return { label: "● Not on Device", tone: "danger",
                 tooltip: "Edited here but no longer on the device. Transfer it back, or discard the local copy." }
    if (c.dirty)
        return { label: "● Modified", tone: "warning",
                 tooltip: "Edited on this computer and not yet sent to the device." }
    if (!!c.libraryId && !c.inSync)
        return { label: "● Differs from Library", tone: "accent",
                 tooltip: "This device's copy and your Protocol Library copy are not identical. Transfer sends the Library version to the device." }
    if (!!c.libraryId)
        return { label: "● In Library", tone: "success",
                 tooltip: "Identical to the protocol of the same name in your Protocol Library." }
    return { label: "● Device Only", tone: "muted",
             tooltip: "On the device only — no protocol of this name in your Protocol Library." }
}

// A copy that is only here can be sent back, as its badge says; without data there is
// nothing to send.
function transferShown(c) {
    return c.hasData === true && (c.isPushing || c.justPushed || c.dirty || (!!c.libraryId && !c.inSync))
}

function transferText(c) {
    return c.isPushing ? "Sending…" : (c.justPushed ? "✓ Sent" : "Transfer")
}

function transferEnabled(c, connected) {
    return !c.isPushing && !c.justPushed && connected && !c.hasErrors
}

function editEnabled(c) {
    return c.hasData && !c.isPushing
}

// After a listing: every listed file the store does not hold, or holds clean, in the
// listed order. A dirty copy keeps its unsent local edit.
function filesToFetch(listed, store, hw) {
    var queue = []
    for (var i = 0; i < listed.length; ++i) {
        var file = listed[i]
        if (!store.hasProtocol(hw, file) || !store.isDirty(hw, file))
            queue.push(file)
    }
    return queue
}

// The next file to fetch and the queue after it; a file edited locally since it was
// queued is skipped.
function nextFetch(queue, store, hw) {
    var rest = queue.slice()
    while (rest.length > 0) {
        var file = rest.shift()
        if (store.hasProtocol(hw, file) && store.isDirty(hw, file))
            continue
        return { file: file, queue: rest }
    }
    return { file: "", queue: [] }
}

// What a card's transfer sends: the library method's fresh CSV when the method exists and
// the local copy holds no edit of its own (staged locally first), else the stored copy.
// Never a CSV with validation errors.
function transferPlan(filename, hw, store, builder, library) {
    var libraryId = library.findProtocolIdByFilename(filename)
    var fromLibrary = !!libraryId && !store.isDirty(hw, filename)
    var csv = fromLibrary ? builder.csvForLibraryProtocol(libraryId) : store.csvData(hw, filename)
    if (!csv || csv.byteLength === 0)
        return { csv: null, stage: false, refused: "" }
    if (builder.previewCsvData(csv).hasErrors === true)
        return { csv: null, stage: false, refused: "Fix the validation errors before sending to the device." }
    return { csv: csv, stage: fromLibrary, refused: "" }
}

// The name a new local copy may take on this instrument, or why not.
function nameProblem(name, hw, store) {
    if (String(name || "").trim().length === 0)
        return "Enter a name."
    if (store.filenames(hw).indexOf(fileNameFor(name)) >= 0)
        return "\"" + String(name).trim() + "\" already exists on this device."
    return ""
}
