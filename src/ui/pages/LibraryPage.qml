import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../panels"
import "../dialogs"
import "../js/Devices.js" as Devices
import "../js/Names.js" as Names

// The start page: the known instruments on the left; on the right the selected device's
// panel or the method library. It is re-created every time it is navigated to, so it
// re-derives its selection from the controllers.
Page {
    id: page

    property int selectedDeviceIndex: -1
    property int rightTabIndex: 0
    property int initialDeviceTabIndex: 0
    property string selectedConnectionType: ""
    property bool importInProgress: false
    // The record of the instrument on USB (by its hardware id), or -1.
    property int usbMatchedBleIndex: -1
    // Bluetooth LE cards waiting for their instrument, by unique id (the cards are made
    // anew on every registry change, so they cannot keep it), and the link's last error.
    property var cardStates: ({})
    property string bleError: ""

    signal createProtocolRequested()
    signal editProtocolRequested(string protocolId)
    signal viewProtocolRequested(string protocolId)
    signal editDeviceProtocolRequested(string hardwareId, string filename)
    signal viewDeviceProtocolRequested(string hardwareId, string filename)

    readonly property var bleLink: typeof bleManager !== "undefined" ? bleManager : null
    readonly property bool bleConnected: bleLink !== null && bleLink.isConnected === true
    readonly property var linkContext: ({
        bleConnectedId: bleConnected ? bleLink.connectedDeviceId : "",
        usbConnected: serialManager.isConnected && mfgManager.usbAvailable,
        usbMatchIndex: usbMatchedBleIndex
    })

    readonly property var selectedDevice: {
        var devices = deviceManager.devices
        return selectedDeviceIndex >= 0 && selectedDeviceIndex < devices.length ? devices[selectedDeviceIndex] : null
    }

    function recomputeUsbMatch() {
        usbMatchedBleIndex = Devices.usbMatchIndex(deviceManager, serialManager)
    }

    // The USB link reported who is on the other end: the registry learns it, and the
    // instrument is shown unless Bluetooth LE already shows one.
    function applyUsbDeviceInfo() {
        var result = Devices.applyUsbDeviceInfo(deviceManager, serialManager, mfgManager.usbAvailable)
        if (!result)
            return
        usbMatchedBleIndex = result.match
        if (result.select && !bleConnected) {
            selectedDeviceIndex = result.match
            selectedConnectionType = "usb"
        }
    }

    // A card's connect: at once when the instrument is around, otherwise once a scan
    // hears it. Pairing waits for a connection that really succeeds.
    function connectDevice(index) {
        var device = deviceManager.devices[index]
        var action = Devices.connectAction(device)
        if (action === "connect") {
            bleLink.connectToDevice(index)
        } else if (action === "scan") {
            cardStates = Devices.withCardState(cardStates, device.uniqueId, { pending: true, retries: 0 })
            bleLink.startScan()
        }
    }

    // Waiting cards whose instrument was heard connect now, found again by unique id.
    function connectWaitingCards() {
        if (bleLink === null || bleLink.isConnecting || bleLink.isConnected)
            return
        for (var uniqueId in cardStates) {
            var index = Devices.indexOfUniqueId(deviceManager.devices, uniqueId)
            if (index >= 0 && deviceManager.devices[index].isAvailable) {
                cardStates = Devices.withCardState(cardStates, uniqueId, null)
                bleLink.connectToDevice(index)
                return
            }
        }
    }

    function selectBleConnected() {
        var index = Devices.indexOfUniqueId(deviceManager.devices, bleLink.connectedDeviceId)
        if (index < 0)
            return -1
        selectedDeviceIndex = index
        selectedConnectionType = "ble"
        return index
    }

    Component.onCompleted: {
        recomputeUsbMatch()
        if (serialManager.isConnected)
            applyUsbDeviceInfo()
        if (bleConnected)
            selectBleConnected()
    }

    Connections {
        target: page.bleLink
        ignoreUnknownSignals: true
        function onIsConnectedChanged() {
            if (!page.bleLink.isConnected)
                return
            page.bleError = ""
            if (page.bleLink.isScanning)
                page.bleLink.stopScan()
            var wasShown = page.selectedConnectionType === "ble"
                           && page.selectedDevice !== null && page.selectedDevice.uniqueId === page.bleLink.connectedDeviceId
            var index = page.selectBleConnected()
            if (index < 0)
                return
            deviceManager.pairDevice(index)
            if (!wasShown)
                page.rightTabIndex = 0
        }
        function onConnectedDeviceHwIdChanged() {
            var hwId = page.bleLink.connectedDeviceHwId
            if (hwId.length === 0)
                return
            var merged = deviceManager.mergeBluetoothDevice(page.bleLink.connectedDeviceId, hwId)
            if (merged >= 0)
                page.selectedDeviceIndex = merged
        }
        function onErrorOccurred(message) { page.bleError = message }
        function onIsConnectingChanged() {
            if (page.bleLink.isConnecting)
                page.bleError = ""
        }
        function onHostBluetoothPoweredOffChanged() { page.bleError = "" }
        function onIsScanningChanged() {
            if (page.bleLink.isScanning)
                return
            var rescan = false
            for (var uniqueId in page.cardStates) {
                var index = Devices.indexOfUniqueId(deviceManager.devices, uniqueId)
                var after = Devices.afterScan(page.cardStates[uniqueId], index >= 0 ? deviceManager.devices[index] : null)
                page.cardStates = Devices.withCardState(page.cardStates, uniqueId, after.state)
                rescan = rescan || after.rescan
            }
            if (rescan)
                Qt.callLater(page.bleLink.startScan)
        }
    }

    Connections {
        target: serialManager
        function onIsConnectedChanged() {
            if (serialManager.isConnected && !page.bleConnected) {
                page.selectedConnectionType = "usb"
                page.rightTabIndex = 0
            } else if (!serialManager.isConnected && page.selectedConnectionType === "usb" && page.selectedDeviceIndex < 0) {
                // A port that never told who is there (a blank board): nothing to show.
                page.selectedConnectionType = ""
            }
        }
        function onUsbDeviceInfoChanged() { page.applyUsbDeviceInfo() }
    }
    Connections {
        target: deviceManager
        function onDevicesChanged() {
            page.recomputeUsbMatch()
            // Not from inside the link's own report of the change.
            Qt.callLater(page.connectWaitingCards)
        }
    }

    function importProtocol() {
        var path = fileDialogHelper.openFile("Import SPL File", "SPL files (*.spl);;All files (*)")
        if (path.length === 0)
            return
        importInProgress = true
        protocolLibrary.importFromSplFile(path)
        importInProgress = false
    }

    function showImportError(message) {
        importErrorDialog.message = Names.withoutTitle(message, importErrorDialog.title)
        importErrorDialog.open()
    }

    objectName: "libraryPage"
    background: Rectangle { color: Theme.window }

    // Ctrl+N starts a new protocol from the library, as "+ New Protocol" does.
    Shortcut {
        sequences: [StandardKey.New]
        enabled: page.visible
        onActivated: page.createProtocolRequested()
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        DeviceListPanel {
            Layout.preferredWidth: 300
            Layout.fillHeight: true
            selectedIndex: page.selectedDeviceIndex
            linkContext: page.linkContext
            cardStates: page.cardStates
            errorText: page.bleError
            onConnectRequested: page.connectDevice(index)
            onErrorDismissed: page.bleError = "" 
            onDeviceClicked: {
                page.selectedDeviceIndex = index
                page.selectedConnectionType = Devices.clickConnectionType(deviceManager.devices[index], index,
                                                                          page.linkContext)
                page.rightTabIndex = 0
            }
        }

        Rectangle {
            Layout.fillHeight: true
            Layout.preferredWidth: 1
            color: Theme.border
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            // Tab header
            Rectangle {
                Layout.fillWidth: true
                Layout.preferredHeight: Theme.headerHeight
                color: Theme.surface

                Rectangle {
                    anchors.bottom: parent.bottom
                    width: parent.width
                    height: 1
                    color: Theme.border
                }

                TabButtonBar {
                    objectName: "rightTabs"
                    anchors.left: parent.left
                    anchors.leftMargin: Theme.space4
                    anchors.bottom: parent.bottom
                    tabHeight: 44
                    fontSize: Theme.fontLarge - 1
                    tabs: [{ label: "Device" }, { label: "Protocol Library" }]
                    currentIndex: page.rightTabIndex
                    onTabClicked: page.rightTabIndex = index
                }

                Row {
                    anchors.right: parent.right
                    anchors.rightMargin: Theme.space5
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: Theme.space2
                    visible: page.rightTabIndex === 1

                    AppButton {
                        objectName: "importProtocolButton"
                        text: "Import Protocol"
                        onClicked: page.importProtocol()
                    }
                    AppButton {
                        objectName: "newProtocolButton"
                        text: "+ New Protocol"
                        variant: "primary"
                        onClicked: page.createProtocolRequested()
                    }
                }
            }

            StackLayout {
                Layout.fillWidth: true
                Layout.fillHeight: true
                currentIndex: page.rightTabIndex

                DevicePanel {
                    id: devicePanel
                    objectName: "devicePanel"
                    connectionType: page.selectedConnectionType
                    bleDevice: page.selectedConnectionType === "ble" ? page.selectedDevice : null
                    device: page.selectedDevice
                    deviceIndex: page.selectedDeviceIndex
                    deviceTabIndex: page.initialDeviceTabIndex
                    onDeviceTabIndexChanged: page.initialDeviceTabIndex = deviceTabIndex
                    onEditDeviceProtocolRequested: page.editDeviceProtocolRequested(hardwareId, filename)
                    onViewDeviceProtocolRequested: page.viewDeviceProtocolRequested(hardwareId, filename)
                    onDeviceForgotten: {
                        page.selectedDeviceIndex = -1
                        page.selectedConnectionType = ""
                    }
                }

                LibraryPanel {
                    objectName: "libraryPanel"
                    onEditRequested: page.editProtocolRequested(protocolId)
                    onViewRequested: page.viewProtocolRequested(protocolId)
                    onCreateRequested: page.createProtocolRequested()
                }
            }
        }
    }

    Connections {
        target: protocolLibrary
        function onErrorOccurred(errorMessage) {
            if (page.importInProgress)
                page.showImportError(errorMessage)
        }
    }

    MessageDialog {
        id: importErrorDialog
        objectName: "importErrorDialog"
        title: "Could not import protocol"
    }
}
