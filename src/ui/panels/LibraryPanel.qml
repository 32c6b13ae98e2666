import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../dialogs"
import "../js/Display.js" as Display
import "../js/Names.js" as Names
import "../js/Transfers.js" as Transfers

// The "Protocol Library" tab: one card per method of the local library, and the place a
// method is sent from to the connected instrument (Bluetooth LE first, else USB).
Item {
    id: panel

    signal editRequested(string protocolId)
    signal viewRequested(string protocolId)
    signal createRequested()

    property string pendingTransferId: ""
    property string lastTransferredId: ""
    property string pendingTransferFile: ""
    property var pendingTransferCsv: null
    // Which method each instrument file was last sent from, by "<hardware id>/<file>".
    property var sentFrom: ({})
    // Which cards show their steps, kept by id so that it survives the list being rebuilt.
    property var expandedStates: ({})
    property var splCache: ({})
    property alias sentBadgeMs: sentTimer.interval

    readonly property var bleLink: typeof bleManager !== "undefined" ? bleManager : null
    readonly property var usbLink: typeof serialManager !== "undefined" ? serialManager : null
    readonly property bool bleConnected: bleLink !== null && bleLink.isConnected === true
    readonly property bool usbConnected: usbLink !== null && usbLink.isConnected === true
    // A link may be busy with work started elsewhere (the device tab's transfer, a
    // calibration write): a card must not start a second transfer, nor take that work's
    // completion for its own.
    readonly property bool linkBusy: (bleLink !== null && bleLink.isTransferring === true)
                                     || (usbLink !== null && usbLink.isTransferring === true)

    function isExpanded(protocolId) {
        return expandedStates[protocolId] === true
    }

    // The steps as SPL text, read from the library: showing them must not replace the
    // method open in the builder. The cache is keyed by the modification time so that an
    // edited method never shows its old steps.
    function stepsText(protocolId, modified) {
        var key = String(modified)
        var cached = splCache[protocolId]
        if (cached && cached.modified === key)
            return cached.text
        var text = Names.splBody(protocolLibrary.exportToSpl(protocolId))
        // Filled in place: a cache entry is no reason to re-evaluate the cards.
        splCache[protocolId] = { modified: key, text: text }
        return text
    }

    function toggleSteps(protocolId) {
        var states = Object.assign({}, expandedStates)
        states[protocolId] = !states[protocolId]
        expandedStates = states
    }

    // Different names can make the same file name ("Mix 1-2" and "Mix 1/2" both travel as
    // "Mix_1_2.csv"): a file the instrument is known to hold that is neither this method's
    // last transfer nor identical to it is not replaced without asking.
    function replacesAnother(protocolId, fileName) {
        var hw = usbLink ? usbLink.usbDeviceId : ""
        if (hw.length === 0 || deviceProtocolStore.filenames(hw).indexOf(fileName) < 0)
            return false
        if (sentFrom[hw + "/" + fileName] === protocolId)
            return false
        return !protocolBuilder.libraryCsvMatchesDevice(protocolId, deviceProtocolStore.csvData(hw, fileName))
    }

    function usbInstrumentName() {
        return usbLink ? Display.displayDeviceName(Display.formatDeviceName(usbLink.usbDeviceName, usbLink.usbDeviceSN),
                                                   usbLink.usbDeviceSN) : ""
    }

    function transfer(protocolId, replaceConfirmed) {
        if ((!bleConnected && !usbConnected) || linkBusy || pendingTransferId.length > 0)
            return
        pendingTransferId = protocolId
        protocolBuilder.loadFromLibrary(protocolId)
        // The builder keeps a method whose edits it could not save: its CSV is not this card's.
        var csv = protocolBuilder.currentProtocolId === protocolId ? protocolBuilder.getCsvData() : null
        if (!csv || csv.byteLength === 0) {
            pendingTransferId = ""
            return
        }
        var fileName = Names.transferFileName(protocolBuilder.protocolName)
        if (!bleConnected && replaceConfirmed !== true && replacesAnother(protocolId, fileName)) {
            pendingTransferId = ""
            replaceDialog.protocolId = protocolId
            replaceDialog.protocolName = protocolBuilder.protocolName
            replaceDialog.fileName = fileName
            replaceDialog.open()
            return
        }
        Transfers.begin(protocolBuilder.protocolName, bleConnected ? "" : usbInstrumentName())
        if (bleConnected) {
            bleLink.sendData(csv, fileName)
            // Refused on the spot (another transfer, a calibration write): it says so with
            // an error, and no result will come for this card.
            if (!bleLink.isTransferring) {
                Transfers.end()
                clearPendingTransfer()
            }
        } else {
            pendingTransferFile = fileName
            pendingTransferCsv = csv
            usbLink.putProtocol(fileName, csv)
        }
    }

    function markSent() {
        lastTransferredId = pendingTransferId
        pendingTransferId = ""
        sentTimer.restart()
    }

    function clearPendingTransfer() {
        pendingTransferFile = ""
        pendingTransferCsv = null
        pendingTransferId = ""
    }

    // A link that stops transferring without a word (a lost connection) must not leave a
    // card "Sending…" for ever. Checked once the link's own signals of that moment are
    // through, since completion is announced after the link is idle again.
    function dropStaleTransfer() {
        if (pendingTransferId.length > 0 && !linkBusy)
            clearPendingTransfer()
    }

    function exportProtocol(protocolId, name) {
        var path = fileDialogHelper.saveFile("Export SPL File", Names.exportFileName(name),
                                             "SPL files (*.spl);;All files (*)", "spl")
        if (path.length === 0)
            return
        lastLibraryError = ""
        if (protocolLibrary.exportProtocolToFile(protocolId, path)) {
            toast.show(true, "Exported " + Names.fileNameOf(path))
        } else {
            exportErrorDialog.message = lastLibraryError.length > 0 ? lastLibraryError
                                                                    : "The protocol could not be exported."
            exportErrorDialog.open()
        }
    }
    // The library says why a write failed through its error signal.
    property string lastLibraryError: ""
    Connections {
        target: protocolLibrary
        function onErrorOccurred(message) { panel.lastLibraryError = message }
    }

    function confirmDelete(protocolId, name) {
        deleteDialog.protocolId = protocolId
        deleteDialog.protocolName = name
        deleteDialog.open()
    }

    Timer {
        id: sentTimer
        interval: 3000
        onTriggered: panel.lastTransferredId = ""
    }

    Connections {
        target: panel.bleLink
        ignoreUnknownSignals: true
        function onTransferComplete() {
            if (panel.pendingTransferId.length === 0)
                return
            Qt.callLater(Transfers.end)
            panel.markSent()
        }
        function onTransferFailed(reason) {
            if (panel.pendingTransferId.length > 0)
                Qt.callLater(Transfers.end)
            panel.clearPendingTransfer()
        }
        function onIsTransferringChanged() { Qt.callLater(panel.dropStaleTransfer) }
    }
    Connections {
        target: panel.usbLink
        ignoreUnknownSignals: true
        function onTransferComplete() {
            if (panel.pendingTransferId.length === 0)
                return
            if (panel.pendingTransferFile.length > 0 && panel.pendingTransferCsv
                    && panel.usbLink.usbDeviceId.length > 0) {
                deviceProtocolStore.storeFromDevice(panel.usbLink.usbDeviceId, panel.pendingTransferFile,
                                                    panel.pendingTransferCsv)
                var sent = Object.assign({}, panel.sentFrom)
                sent[panel.usbLink.usbDeviceId + "/" + panel.pendingTransferFile] = panel.pendingTransferId
                panel.sentFrom = sent
            }
            Qt.callLater(Transfers.end)
            panel.pendingTransferFile = ""
            panel.pendingTransferCsv = null
            panel.markSent()
        }
        function onTransferFailed(reason) {
            if (panel.pendingTransferId.length > 0)
                Qt.callLater(Transfers.end)
            panel.clearPendingTransfer()
        }
        function onIsTransferringChanged() { Qt.callLater(panel.dropStaleTransfer) }
    }

    ListView {
        id: list
        objectName: "libraryList"
        anchors.fill: parent
        topMargin: Theme.space4
        bottomMargin: Theme.space5
        leftMargin: Theme.space5
        rightMargin: Theme.space5
        spacing: 10
        clip: true
        model: protocolLibrary.protocols
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}

        header: Item {
            width: list.width - list.leftMargin - list.rightMargin
            height: list.count > 0 ? 30 : 0
            visible: list.count > 0
            Text {
                anchors.left: parent.left
                anchors.top: parent.top
                text: list.count === 1 ? "1 protocol" : list.count + " protocols"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                font.weight: Font.DemiBold
                color: Theme.textMuted
            }
        }

        delegate: LibraryCard {
            width: list.width - list.leftMargin - list.rightMargin
            protocolId: modelData.id
            name: modelData.name
            description: modelData.description
            commandCount: modelData.commandCount
            modified: modelData.modified
            hasErrors: modelData.hasErrors
            expanded: panel.isExpanded(modelData.id)
            stepsText: expanded ? panel.stepsText(modelData.id, modelData.modified) : ""
            transferState: panel.lastTransferredId === modelData.id ? "sent"
                                                                    : (panel.pendingTransferId === modelData.id ? "sending" : "")
            canTransfer: panel.pendingTransferId.length === 0 && !panel.linkBusy
                         && (panel.bleConnected || panel.usbConnected)
            onViewClicked: panel.viewRequested(protocolId)
            onEditClicked: panel.editRequested(protocolId)
            onTransferClicked: panel.transfer(protocolId)
            onStepsClicked: panel.toggleSteps(protocolId)
            onDuplicateClicked: protocolLibrary.duplicateProtocol(protocolId)
            onExportClicked: panel.exportProtocol(protocolId, name)
            onDeleteClicked: panel.confirmDelete(protocolId, name)
        }
    }

    Column {
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -40
        spacing: Theme.space5
        visible: list.count === 0

        EmptyState {
            objectName: "libraryEmpty"
            glyph: "☰"
            title: "No protocols yet"
            message: "Click '+ New Protocol' to create one"
        }
        AppButton {
            anchors.horizontalCenter: parent.horizontalCenter
            text: "+ New Protocol"
            variant: "primary"
            onClicked: panel.createRequested()
        }
    }

    ConfirmDialog {
        id: replaceDialog
        objectName: "replaceOnDeviceDialog"
        property string protocolId: ""
        property string protocolName: ""
        property string fileName: ""
        title: "Replace Protocol on Device"
        message: "The device already holds \"" + fileName + "\", and it is not \"" + protocolName + "\"."
        detail: "Another method whose name gives the same file name was sent, or the file was made on the device. Replace it?"
        confirmText: "Replace"
        destructive: true
        onConfirmed: panel.transfer(protocolId, true)
    }

    ConfirmDialog {
        id: deleteDialog
        objectName: "deleteProtocolDialog"
        property string protocolId: ""
        property string protocolName: ""
        title: "Delete Protocol"
        message: "Are you sure you want to delete \"" + protocolName + "\"?"
        detail: "This action cannot be undone."
        cancelText: "No"
        confirmText: "Yes"
        destructive: true
        onConfirmed: protocolLibrary.deleteProtocol(protocolId)
    }

    TransferToast { id: toast }

    MessageDialog {
        id: exportErrorDialog
        objectName: "exportErrorDialog"
        title: "Could not export protocol"
    }
}
