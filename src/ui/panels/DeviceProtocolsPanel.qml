import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../dialogs"
import "../js/DeviceProtocols.js" as DeviceProtocols
import "../js/Transfers.js" as Transfers

// The "Protocols" sub-tab: the protocols stored on the instrument on USB. The instrument's
// copy is fetched into the device protocol store, edits stay local until "Transfer", and a
// library method of the same name is told apart from both. One USB operation runs at a
// time: fetches queue up, and a transfer waits for the fetch or listing in flight.
Item {
    id: panel

    property string connectionType: ""
    property bool isConnected: false
    property string hardwareId: ""
    property string instrumentName: ""

    signal editDeviceProtocolRequested(string hardwareId, string filename)
    signal viewDeviceProtocolRequested(string hardwareId, string filename)

    property bool isLoadingList: false
    property string pendingFetchFile: ""
    property var fetchQueue: []
    property string pendingPushFile: ""
    property bool pushInterruptsQueue: false
    property string lastPushedFile: ""
    property int storeRev: 0
    property var expandedFiles: ({})
    // The instrument's last listing, null until one arrives.
    property var listedFiles: null
    property alias sentHoldMs: sentTimer.interval

    readonly property bool overUsb: connectionType === "usb"
    readonly property bool active: visible && overUsb && isConnected && hardwareId.length > 0
    readonly property bool busy: isLoadingList || pendingFetchFile.length > 0 || pendingPushFile.length > 0
    readonly property var filenames: {
        storeRev
        return hardwareId.length > 0 ? deviceProtocolStore.filenames(hardwareId) : []
    }
    readonly property var panelFields: ({
        hardwareId: hardwareId,
        pendingFetchFile: pendingFetchFile,
        pendingPushFile: pendingPushFile,
        lastPushedFile: lastPushedFile,
        listedFiles: listedFiles
    })

    objectName: "protocolsPanel"

    // ---- Session and fetch queue -------------------------------------------------------

    function clearPending() {
        isLoadingList = false
        pendingFetchFile = ""
        fetchQueue = []
        pendingPushFile = ""
        pushInterruptsQueue = false
    }

    function refresh() {
        if (!active)
            return
        isLoadingList = true
        serialManager.listProtocols()
    }

    function manualRefresh() {
        fetchQueue = []
        pendingFetchFile = ""
        refresh()
    }

    function closeSession() {
        fetchQueue = []
        pendingFetchFile = ""
        serialManager.disconnectProtocol()
    }

    function fetchNext() {
        if (pendingFetchFile.length > 0 || pendingPushFile.length > 0 || isLoadingList)
            return
        var next = DeviceProtocols.nextFetch(fetchQueue, deviceProtocolStore, hardwareId)
        fetchQueue = next.queue
        if (next.file.length > 0) {
            pendingFetchFile = next.file
            serialManager.getProtocol(next.file)
        } else {
            closeSession()
        }
    }

    onActiveChanged: if (active) refresh()
    onHardwareIdChanged: {
        clearPending()
        listedFiles = null
        refresh()
    }
    onIsConnectedChanged: if (!isConnected) clearPending()
    // Leaving the tab ends what this panel started; with nothing outstanding another tab
    // may be opening a session of its own, which must be left alone.
    onVisibleChanged: if (!visible && busy && overUsb && isConnected) closeSession()

    // ---- Transfer ------------------------------------------------------------------------

    function transfer(filename) {
        if (!overUsb || !isConnected || pendingPushFile.length > 0)
            return
        var plan = DeviceProtocols.transferPlan(filename, hardwareId, deviceProtocolStore, protocolBuilder,
                                                protocolLibrary)
        if (plan.refused.length > 0) {
            messageDialog.show("Cannot transfer", plan.refused)
            return
        }
        if (!plan.csv)
            return
        pendingPushFile = filename
        Transfers.begin(DeviceProtocols.displayName(filename), instrumentName)
        // One operation at a time on the link: a fetch or a listing in flight finishes first.
        if (pendingFetchFile.length > 0 || isLoadingList) {
            pushInterruptsQueue = true
            return
        }
        startPush()
    }

    // The plan is made again when the push really starts: a fetch it waited for may have
    // replaced the stored copy.
    function startPush() {
        var file = pendingPushFile
        var plan = DeviceProtocols.transferPlan(file, hardwareId, deviceProtocolStore, protocolBuilder,
                                                protocolLibrary)
        if (!plan.csv) {
            pendingPushFile = ""
            Transfers.end()
            if (plan.refused.length > 0)
                messageDialog.show("Cannot transfer", plan.refused)
            fetchNext()
            return
        }
        if (plan.stage)
            deviceProtocolStore.storeLocalEdit(hardwareId, file, plan.csv)
        serialManager.disconnectProtocol()
        serialManager.putProtocol(file, plan.csv)
    }

    Timer {
        id: sentTimer
        interval: 3000
        onTriggered: panel.lastPushedFile = ""
    }

    Connections {
        target: serialManager
        enabled: panel.hardwareId.length > 0 && panel.overUsb
        function onProtocolListReceived(listed) {
            if (!panel.isLoadingList)
                return
            panel.isLoadingList = false
            panel.listedFiles = listed
            deviceProtocolStore.setFilenames(panel.hardwareId, listed)
            panel.fetchQueue = DeviceProtocols.filesToFetch(listed, deviceProtocolStore, panel.hardwareId)
            if (panel.pushInterruptsQueue) {
                panel.pushInterruptsQueue = false
                panel.startPush()
                return
            }
            panel.fetchNext()
        }
        function onProtocolReceived(filename, data) {
            if (filename !== panel.pendingFetchFile)
                return
            // Edited here while its fetch was under way: the edit wins, as on a refresh.
            if (!deviceProtocolStore.isDirty(panel.hardwareId, filename))
                deviceProtocolStore.storeFromDevice(panel.hardwareId, filename, data)
            panel.pendingFetchFile = ""
            if (panel.pushInterruptsQueue) {
                panel.pushInterruptsQueue = false
                panel.startPush()
                return
            }
            panel.fetchNext()
        }
        function onTransferComplete() {
            if (panel.pendingPushFile.length === 0)
                return
            deviceProtocolStore.markSynced(panel.hardwareId, panel.pendingPushFile)
            panel.lastPushedFile = panel.pendingPushFile
            sentTimer.restart()
            panel.pendingPushFile = ""
            Qt.callLater(Transfers.end)
            panel.fetchNext()
        }
        function onTransferFailed(reason) {
            if (panel.pendingPushFile.length === 0)
                return
            panel.pendingPushFile = ""
            Qt.callLater(Transfers.end)
        }
        function onErrorOccurred(message) {
            // The link has already returned to idle; whatever this panel waited for is gone.
            if (panel.busy || panel.pushInterruptsQueue || panel.fetchQueue.length > 0)
                panel.clearPending()
        }
        function onProtocolDeleted(filename) {
            deviceProtocolStore.removeProtocol(panel.hardwareId, filename)
        }
    }
    Connections {
        target: deviceProtocolStore
        function onProtocolChanged(hardwareId, filename) {
            if (hardwareId === panel.hardwareId)
                panel.storeRev++
        }
    }

    // ---- Actions of the cards and the header ------------------------------------------

    function cardInfo(filename) {
        return DeviceProtocols.card(filename, panelFields, deviceProtocolStore, protocolBuilder, protocolLibrary)
    }

    function toggleSteps(filename) {
        var files = Object.assign({}, expandedFiles)
        files[filename] = !files[filename]
        expandedFiles = files
    }

    function exportProtocol(filename) {
        var path = fileDialogHelper.saveFile("Export Protocol", filename, "CSV files (*.csv)", "csv")
        if (path.length === 0)
            return
        if (!fileDialogHelper.writeFile(path, deviceProtocolStore.csvData(hardwareId, filename)))
            messageDialog.show("Export failed", "The protocol could not be written to " + path + ".")
    }

    function importFromFile() {
        var path = fileDialogHelper.openFile("Import Protocol", "Protocol files (*.csv *.spl)")
        if (path.length === 0)
            return
        var data = fileDialogHelper.readFile(path)
        var name = ""
        var csv = data
        // An SPL file is the editor's text form: the instrument gets its CSV, never the text.
        if (/\.spl$/i.test(fileDialogHelper.fileName(path))) {
            var converted = protocolBuilder.splToDeviceCsv(data)
            if (converted.error !== undefined) {
                messageDialog.show("Could not import protocol", converted.error)
                return
            }
            name = converted.name
            csv = converted.csvData
        } else {
            name = fileDialogHelper.protocolNameFromFile(data)
        }
        if (name.trim().length === 0)
            name = fileDialogHelper.basenameWithoutExt(path)
        var file = DeviceProtocols.fileNameFor(name)
        if (filenames.indexOf(file) >= 0) {
            importConflictDialog.file = file
            importConflictDialog.csv = csv
            importConflictDialog.open()
            return
        }
        deviceProtocolStore.storeLocalEdit(hardwareId, file, csv)
    }

    // ---- Layout -----------------------------------------------------------------------------

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        visible: panel.overUsb && panel.isConnected

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: Theme.space5
            Layout.rightMargin: Theme.space5
            Layout.topMargin: Theme.space4
            Layout.bottomMargin: Theme.space3
            spacing: Theme.space2

            Text {
                text: "On this device"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontLarge
                font.weight: Font.DemiBold
                color: Theme.text
            }
            Pill {
                text: panel.filenames.length
                visible: panel.filenames.length > 0
            }
            Text {
                objectName: "protocolsStatus"
                Layout.fillWidth: true
                Layout.leftMargin: Theme.space2
                text: panel.isLoadingList ? "Reading the list…"
                      : (panel.pendingPushFile.length > 0 ? "Sending " + DeviceProtocols.displayName(panel.pendingPushFile) + "…"
                         : (panel.pendingFetchFile.length > 0 ? "Fetching " + DeviceProtocols.displayName(panel.pendingFetchFile) + "…" : ""))
                elide: Text.ElideRight
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textMuted
            }
            AppButton {
                objectName: "protocolsRefresh"
                text: "↺ Refresh"
                compact: true
                enabled: !panel.busy
                onClicked: panel.manualRefresh()
            }
            AppButton {
                id: newButton
                objectName: "protocolsNew"
                // The full-width plus is missing from common fonts and shows as a box.
                text: "+ New"
                compact: true
                variant: "primary"
                onClicked: newMenu.popup(newButton, newButton.width - newMenu.width, newButton.height + 4)
                AppMenu {
                    id: newMenu
                    AppMenuItem {
                        objectName: "menuNewProtocol"
                        text: "New Protocol"
                        onTriggered: panel.editDeviceProtocolRequested(panel.hardwareId, "")
                    }
                    AppMenuItem {
                        objectName: "menuImportFile"
                        text: "Import from File…"
                        onTriggered: panel.importFromFile()
                    }
                    AppMenuItem {
                        objectName: "menuImportLibrary"
                        text: "Import from Library…"
                        onTriggered: libraryPicker.ask()
                    }
                }
            }
        }

        Flickable {
            id: cardList
            objectName: "protocolList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentHeight: cardColumn.implicitHeight + Theme.space5
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            Column {
                id: cardColumn
                x: Theme.space5
                width: cardList.width - 2 * Theme.space5
                spacing: Theme.space2

                Repeater {
                    model: panel.filenames
                    delegate: ProtocolCard {
                        readonly property string filename: modelData
                        width: cardColumn.width
                        info: { panel.storeRev; return panel.cardInfo(filename) }
                        connected: panel.isConnected
                        linkBusy: panel.busy
                        expanded: panel.expandedFiles[filename] === true
                        onStepsClicked: panel.toggleSteps(filename)
                        onViewClicked: panel.viewDeviceProtocolRequested(panel.hardwareId, filename)
                        onEditClicked: panel.editDeviceProtocolRequested(panel.hardwareId, filename)
                        onTransferClicked: panel.transfer(filename)
                        onDiscardClicked: {
                            discardDialog.file = filename
                            discardDialog.open()
                        }
                        onDeleteClicked: {
                            deleteDialog.file = filename
                            deleteDialog.open()
                        }
                        onDuplicateClicked: {
                            duplicateDialog.source = filename
                            duplicateDialog.ask(DeviceProtocols.displayName(filename) + " Copy")
                        }
                        onCopyToLibraryClicked: {
                            copyDialog.source = filename
                            copyDialog.ask(DeviceProtocols.displayName(filename))
                        }
                        onExportClicked: panel.exportProtocol(filename)
                    }
                }
            }

            EmptyState {
                parent: cardList
                anchors.centerIn: parent
                anchors.verticalCenterOffset: -40
                visible: panel.filenames.length === 0 && !panel.isLoadingList
                glyph: "☰"
                title: "No protocols on device"
                message: "Create one with + New, or send one from the Protocol Library."
            }
        }
    }

    EmptyState {
        objectName: "protocolsPlaceholder"
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -40
        visible: !(panel.overUsb && panel.isConnected)
        glyph: "☰"
        title: "Device protocols"
        message: panel.overUsb ? "Connect via USB to view device protocols"
                               : "USB connection required to view device protocols"
    }

    // ---- Dialogs ----------------------------------------------------------------------------

    ConfirmDialog {
        id: deleteDialog
        objectName: "deleteDeviceProtocolDialog"
        property string file: ""
        title: "Delete Protocol"
        message: "Delete \"" + DeviceProtocols.displayName(file) + "\" from the device?"
        detail: "This cannot be undone."
        confirmText: "Delete"
        destructive: true
        onConfirmed: serialManager.deleteProtocol(file)
    }
    ConfirmDialog {
        id: discardDialog
        objectName: "discardDeviceProtocolDialog"
        property string file: ""
        title: "Discard Protocol"
        message: "Discard the local copy of \"" + DeviceProtocols.displayName(file) + "\"?"
        detail: "It is no longer on the device, so the edit made here is lost."
        confirmText: "Discard"
        destructive: true
        onConfirmed: deviceProtocolStore.removeProtocol(panel.hardwareId, file)
    }
    ConfirmDialog {
        id: importConflictDialog
        objectName: "importConflictDialog"
        property string file: ""
        property var csv: null
        title: "Import Conflict"
        message: "A protocol named \"" + DeviceProtocols.displayName(file) + "\" already exists on this device."
        detail: "Overwrite the local copy?"
        confirmText: "Overwrite"
        destructive: true
        onConfirmed: deviceProtocolStore.storeLocalEdit(panel.hardwareId, file, csv)
    }
    NameDialog {
        id: duplicateDialog
        objectName: "duplicateProtocolDialog"
        property string source: ""
        title: "Duplicate Protocol"
        message: "The copy is saved on this computer; Transfer sends it to the device."
        confirmText: "Duplicate"
        onSubmitted: {
            var problem = DeviceProtocols.nameProblem(name, panel.hardwareId, deviceProtocolStore)
            if (problem.length > 0) {
                errorText = problem
                return
            }
            deviceProtocolStore.storeLocalEdit(panel.hardwareId, DeviceProtocols.fileNameFor(name),
                                               deviceProtocolStore.csvData(panel.hardwareId, source))
            close()
        }
    }
    NameDialog {
        id: copyDialog
        objectName: "copyToLibraryDialog"
        property string source: ""
        title: "Copy to Protocol Library"
        confirmText: "Copy"
        onSubmitted: {
            var trimmed = name.trim()
            if (!protocolLibrary.isNameAvailable(trimmed)) {
                errorText = "\"" + trimmed + "\" already exists in the library. Choose a different name."
                return
            }
            var id = protocolBuilder.importCsvDataToLibrary(deviceProtocolStore.csvData(panel.hardwareId, source), trimmed)
            if (id.length === 0) {
                errorText = "The protocol could not be copied to the library."
                return
            }
            close()
        }
    }
    LibraryPickerDialog {
        id: libraryPicker
        objectName: "importFromLibraryDialog"
        title: "Import from Library"
        onPicked: {
            var file = DeviceProtocols.fileNameFor(name)
            if (panel.filenames.indexOf(file) >= 0) {
                errorText = "\"" + name + "\" already exists on this device."
                return
            }
            // Read from the library directly: the method open in the editor stays as it is.
            deviceProtocolStore.storeLocalEdit(panel.hardwareId, file, protocolBuilder.csvForLibraryProtocol(protocolId))
            close()
        }
    }
    MessageDialog {
        id: messageDialog
        objectName: "protocolsMessage"
        function show(heading, text) {
            title = heading
            message = text
            open()
        }
    }
}
