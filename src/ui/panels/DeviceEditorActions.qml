import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../dialogs"
import "../js/DeviceProtocols.js" as DeviceProtocols
import "../js/Display.js" as Display
import "../js/Transfers.js" as Transfers

// The editor's actions for a protocol of an instrument: saved to the instrument's local
// copy, renamed there with its name, and sent only by "Transfer to Device".
RowLayout {
    id: actions

    property var builder: null
    // Shown and asked: a device protocol open for editing (not only viewed).
    property bool active: false
    // Listening: whenever the editor holds a device protocol.
    readonly property bool deviceMode: builder !== null && builder.isDeviceProtocol
    property bool setupDone: false

    // The page may be left (after a save, or with the edit discarded).
    signal leave()

    readonly property string deviceHardwareId: builder ? builder.deviceHardwareId : ""
    spacing: Theme.space3

    property bool deviceDirty: false
    property string deviceSaveError: ""
    property string devicePushFile: ""
    property string deviceRenamedFrom: ""
    property bool deviceJustSent: false
    property alias deviceSentHoldMs: deviceSentTimer.interval
    readonly property bool renamesOnDevice: builder.deviceOrigFilename.length > 0
                                            && builder.deviceOrigFilename !== DeviceProtocols.fileNameFor(builder.protocolName)
    readonly property bool instrumentOnUsb: serialManager.isConnected && serialManager.usbDeviceId === deviceHardwareId
    readonly property string transferUnavailableReason: !instrumentOnUsb ? "Connect the pipette over USB to transfer."
                                                        : (builder.hasErrors ? "Fix the validation errors before transferring." : "")

    function instrumentName() {
        var index = deviceManager.findDeviceIndexByHardwareId(deviceHardwareId)
        var device = index >= 0 ? deviceManager.devices[index] : null
        return device ? Display.displayDeviceName(Display.formatDeviceName(device.name, device.serialNumber),
                                                  device.serialNumber) : ""
    }

    // Saves the local copy; a changed name renames the copy first. Returns the save
    // result, or null when it was refused (the reason is shown beside Save).
    function saveDevice() {
        var res = builder.saveToDeviceStore(deviceProtocolStore.filenames(deviceHardwareId))
        if (res.error.length > 0) {
            deviceSaveError = res.error
            return null
        }
        deviceSaveError = ""
        var renamed = res.oldFilename.length > 0 && res.oldFilename !== res.newFilename
        if (renamed)
            deviceProtocolStore.renameProtocol(deviceHardwareId, res.oldFilename, res.newFilename)
        if (!deviceProtocolStore.storeLocalEdit(deviceHardwareId, res.newFilename, res.csvData)) {
            deviceSaveError = "The protocol could not be saved on this computer."
            return null
        }
        deviceDirty = false
        res.renamed = renamed
        return res
    }

    function pressSave() {
        var res = saveDevice()
        // A new name is the instrument's too: the renamed copy goes out at once.
        if (res && res.renamed && transferUnavailableReason.length === 0)
            pushToDevice(res)
    }

    function pressTransfer() {
        if (builder.hasErrors) {
            deviceSaveError = "Fix the validation errors before sending to the device."
            return
        }
        if (transferUnavailableReason.length > 0 || devicePushFile.length > 0)
            return
        var res = saveDevice()
        if (res)
            pushToDevice(res)
    }

    function pushToDevice(res) {
        devicePushFile = res.newFilename
        deviceRenamedFrom = res.renamed ? res.oldFilename : ""
        Transfers.begin(builder.protocolName.trim(), instrumentName())
        serialManager.disconnectProtocol()
        serialManager.putProtocol(res.newFilename, res.csvData)
    }

    function copyDeviceToLibrary() {
        var name = builder.protocolName.trim()
        if (!saveDevice())
            return
        if (builder.importCsvDataToLibrary(builder.getCsvData(), name).length === 0)
            deviceMessage.show("Copy to Library", builder.hasErrors
                               ? "Fix the validation errors before copying to the library."
                               : "\"" + name + "\" already exists in the library.")
    }

    // Leaving with unsaved changes asks first; true when it asked.
    function askBeforeLeaving() {
        if (!active || !deviceDirty)
            return false
        unsavedDialog.open()
        return true
    }

    Timer {
        id: deviceSentTimer
        interval: 3000
        onTriggered: actions.deviceJustSent = false
    }
    Connections {
        target: actions.builder
        enabled: actions.deviceMode
        function onSplPreviewChanged() {
            actions.deviceDirty = true
            // What was refused was the method before this change.
            actions.deviceSaveError = ""
        }
        function onDeviceOrigFilenameChanged() { actions.deviceSaveError = "" }
    }
    Connections {
        target: serialManager
        enabled: actions.deviceMode
        function onTransferComplete() {
            if (actions.devicePushFile.length === 0)
                return
            deviceProtocolStore.markSynced(actions.deviceHardwareId, actions.devicePushFile)
            actions.devicePushFile = ""
            actions.deviceJustSent = true
            deviceSentTimer.restart()
            Qt.callLater(Transfers.end)
            if (actions.deviceRenamedFrom.length > 0) {
                var old = actions.deviceRenamedFrom
                actions.deviceRenamedFrom = ""
                serialManager.deleteProtocol(old)
                serialManager.disconnectProtocol()
            }
        }
        function onTransferFailed(reason) {
            actions.devicePushFile = ""
            actions.deviceRenamedFrom = ""
            Qt.callLater(Transfers.end)
        }
        function onErrorOccurred(message) {
            actions.devicePushFile = ""
        }
        function onProtocolDeleted(filename) {
            deviceProtocolStore.removeProtocol(actions.deviceHardwareId, filename)
            if (actions.devicePushFile.length === 0)
                serialManager.disconnectProtocol()
        }
    }

    Text {
        objectName: "deviceSaveError"
        Layout.maximumWidth: 260
        visible: text.length > 0
        text: actions.deviceSaveError.length > 0 ? actions.deviceSaveError : actions.transferUnavailableReason
        elide: Text.ElideRight
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontSmall
        color: actions.deviceSaveError.length > 0 ? Theme.danger : Theme.textMuted
    }
    AppButton {
        objectName: "deviceSave"
        text: actions.renamesOnDevice ? "Save & Rename on Device" : "Save"
        enabled: actions.setupDone && actions.devicePushFile.length === 0
        onClicked: actions.pressSave()
    }
    AppButton {
        objectName: "deviceTransfer"
        variant: "primary"
        text: actions.devicePushFile.length > 0 ? "Sending…" : (actions.deviceJustSent ? "✓ Sent" : "Transfer to Device")
        enabled: actions.setupDone && actions.devicePushFile.length === 0 && !actions.deviceJustSent
                 && actions.transferUnavailableReason.length === 0
        onClicked: actions.pressTransfer()
        MouseArea {
            anchors.fill: parent
            enabled: !parent.enabled
            hoverEnabled: true
            acceptedButtons: Qt.NoButton
            ToolTip.visible: containsMouse && actions.transferUnavailableReason.length > 0
            ToolTip.text: actions.transferUnavailableReason
            ToolTip.delay: 300
        }
    }
    AppButton {
        objectName: "deviceCopyToLibrary"
        text: "Copy to Library"
        enabled: actions.setupDone
        onClicked: actions.copyDeviceToLibrary()
    }

    AppDialog {
        id: unsavedDialog
        objectName: "unsavedChangesDialog"
        title: "Unsaved Changes"
        DialogText { text: "You have unsaved changes. Save before leaving?"; color: Theme.text }
        buttons: [
            AppButton { objectName: "unsavedCancel"; text: "Cancel"; onClicked: unsavedDialog.close() },
            AppButton {
                objectName: "unsavedDiscard"
                text: "Discard"
                variant: "dangerGhost"
                onClicked: {
                    unsavedDialog.close()
                    actions.leave()
                }
            },
            AppButton {
                objectName: "unsavedSave"
                text: "Save"
                variant: "primary"
                onClicked: {
                    unsavedDialog.close()
                    if (actions.saveDevice())
                        actions.leave()
                }
            }
        ]
    }
    MessageDialog {
        id: deviceMessage
        objectName: "deviceMessage"
        function show(heading, text) {
            title = heading
            message = text
            open()
        }
    }
}
