import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../dialogs"
import "../js/Display.js" as Display

// The "Device" tab: the selected instrument's header and its sub-tabs. Every call goes to
// the active link, chosen by the connection type of the selection.
Item {
    id: panel

    property string connectionType: ""
    property var bleDevice: null
    property var device: null
    property int deviceIndex: -1
    property int deviceTabIndex: 0

    signal editDeviceProtocolRequested(string hardwareId, string filename)
    signal viewDeviceProtocolRequested(string hardwareId, string filename)
    signal deviceForgotten()

    readonly property var bleLink: typeof bleManager !== "undefined" ? bleManager : null
    readonly property var usbLink: typeof serialManager !== "undefined" ? serialManager : null
    readonly property var activeLink: connectionType === "ble" ? bleLink : (connectionType === "usb" ? usbLink : null)
    readonly property bool isUsb: connectionType === "usb"
    readonly property bool isConnected: {
        if (connectionType === "ble")
            return bleLink !== null && bleDevice !== null && bleLink.isConnected
                    && bleLink.connectedDeviceId === bleDevice.uniqueId
        if (connectionType === "usb")
            return usbLink !== null && usbLink.isConnected
        return false
    }
    readonly property bool hasSelection: device !== null || isUsb

    // What the header shows, from the registry entry or, over USB, from the link.
    readonly property string rawName: device ? device.name : (isUsb && usbLink ? usbLink.usbDeviceName : "")
    readonly property string serialNumber: device && device.serialNumber.length > 0
                                           ? device.serialNumber : (isUsb && usbLink ? usbLink.usbDeviceSN : "")
    readonly property string firmwareVersion: device && device.firmwareVersion.length > 0
                                              ? device.firmwareVersion : (isUsb && usbLink ? usbLink.usbDeviceFW : "")
    readonly property string hardwareId: device && device.hardwareId.length > 0
                                         ? device.hardwareId : (isUsb && usbLink ? usbLink.usbDeviceId : "")
    readonly property string displayName: Display.displayDeviceName(Display.formatDeviceName(rawName, serialNumber),
                                                                     serialNumber)
    readonly property string detailLine: {
        var parts = []
        if (serialNumber.length > 0)
            parts.push("S/N: " + serialNumber)
        if (firmwareVersion.length > 0)
            parts.push("SW: " + Display.formatSwVersion(firmwareVersion))
        if (isUsb && usbLink && usbLink.portName.length > 0)
            parts.push("Port: " + usbLink.portName)
        if (mfgManager.mfgMode && hardwareId.length > 0)
            parts.push("ID: " + Display.formatHardwareId(hardwareId))
        return parts.join("  ·  ")
    }

    readonly property var subTabs: [
        { label: "Settings", visible: true },
        { label: "Protocols", visible: mfgManager.usbAvailable },
        { label: "Calibration", visible: true },
        { label: "Certification", visible: mfgManager.mfgMode },
        { label: "Software", visible: isUsb }
    ]

    function forget() {
        var index = deviceIndex
        if (isUsb) {
            if (usbLink)
                usbLink.forgetUsbDevice()
        } else if (isConnected && bleLink) {
            bleLink.disconnect()
        }
        if (index >= 0)
            deviceManager.forgetDevice(index)
        deviceForgotten()
    }

    // Sub-tab fallbacks: a tab that is no longer offered gives way to Settings.
    property string previousConnectionType: connectionType
    onConnectionTypeChanged: {
        // The first selection after the page is created keeps the restored sub-tab.
        if (previousConnectionType !== "")
            deviceTabIndex = 0
        else if (connectionType !== "usb" && deviceTabIndex === 4)
            deviceTabIndex = 0
        previousConnectionType = connectionType
    }
    property var previousBleDevice: bleDevice
    onBleDeviceChanged: {
        if (previousBleDevice !== null && bleDevice !== previousBleDevice)
            deviceTabIndex = 0
        previousBleDevice = bleDevice
    }
    Connections {
        target: mfgManager
        function onMfgModeChanged() {
            if (!mfgManager.mfgMode && panel.deviceTabIndex === 3)
                panel.deviceTabIndex = 0
            if (!mfgManager.usbAvailable && panel.deviceTabIndex === 1)
                panel.deviceTabIndex = 0
        }
    }

    EmptyState {
        anchors.centerIn: parent
        anchors.verticalCenterOffset: -40
        visible: !panel.hasSelection
        pipette: true
        title: "No device selected"
        message: "Select a pipette on the left, or plug one in by USB, to see its settings, protocols and calibration."
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        visible: panel.hasSelection

        // Header
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 76
            color: Theme.surface

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: Theme.space5
                anchors.rightMargin: Theme.space5
                spacing: Theme.space3

                Rectangle {
                    Layout.preferredWidth: 40
                    Layout.preferredHeight: 40
                    radius: 20
                    color: Display.themeColor(panel.device ? panel.device.themeColor : -1)
                    Text {
                        anchors.centerIn: parent
                        text: panel.displayName.length > 0 ? panel.displayName.charAt(0).toUpperCase() : "?"
                        color: "#ffffff"
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontTitle
                        font.weight: Font.DemiBold
                    }
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 3
                    RowLayout {
                        spacing: Theme.space2
                        Text {
                            objectName: "deviceTitle"
                            Layout.maximumWidth: 360
                            text: panel.displayName
                            elide: Text.ElideRight
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontTitle
                            font.weight: Font.DemiBold
                            color: Theme.text
                        }
                        Pill {
                            text: panel.isConnected ? (panel.isUsb ? "● USB" : "● Bluetooth") : "Not connected"
                            tone: panel.isConnected ? Theme.success : Theme.textMuted
                        }
                    }
                    Text {
                        Layout.fillWidth: true
                        text: panel.detailLine
                        visible: text.length > 0
                        elide: Text.ElideRight
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSmall
                        color: Theme.textMuted
                    }
                }
                AppButton {
                    text: "Refresh"
                    compact: true
                    enabled: panel.isConnected
                    onClicked: if (panel.activeLink) panel.activeLink.refreshDeviceInfo()
                }
                AppButton {
                    text: "Disconnect"
                    compact: true
                    enabled: panel.isConnected
                    onClicked: if (panel.activeLink) panel.activeLink.disconnect()
                }
                AppButton {
                    text: "Forget"
                    compact: true
                    variant: "dangerGhost"
                    enabled: panel.deviceIndex >= 0
                    onClicked: forgetDialog.open()
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 41
            color: Theme.surface
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: Theme.border
            }
            TabButtonBar {
                objectName: "deviceSubTabs"
                anchors.left: parent.left
                anchors.leftMargin: Theme.space4
                anchors.bottom: parent.bottom
                tabs: panel.subTabs
                currentIndex: panel.deviceTabIndex
                onTabClicked: panel.deviceTabIndex = index
            }
        }

        StackLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            currentIndex: panel.deviceTabIndex

            DeviceSettingsPanel {
                link: panel.activeLink
                connected: panel.isConnected
                currentName: Display.formatDeviceName(panel.rawName, panel.serialNumber)
                currentSerial: panel.serialNumber
                currentSsid: panel.isUsb && panel.usbLink ? panel.usbLink.usbDeviceSSID : ""
            }
            DeviceProtocolsPanel {
                connectionType: panel.connectionType
                isConnected: panel.isConnected
                hardwareId: panel.isUsb && panel.usbLink ? panel.usbLink.usbDeviceId : panel.hardwareId
                instrumentName: panel.displayName
                onEditDeviceProtocolRequested: panel.editDeviceProtocolRequested(hardwareId, filename)
                onViewDeviceProtocolRequested: panel.viewDeviceProtocolRequested(hardwareId, filename)
            }
            CalibrationPanel {
                objectName: "calibrationPanel"
                link: panel.activeLink
                connected: panel.isConnected
                deviceName: panel.rawName
                serialNumber: panel.serialNumber
                firmwareVersion: panel.firmwareVersion
            }
            CertificationPanel {
                objectName: "certificationPanel"
                connectionType: panel.connectionType
                isConnected: panel.isConnected
                serialNumber: panel.serialNumber
            }
            SoftwarePanel {
                deviceName: panel.displayName
            }
        }
    }

    ConfirmDialog {
        id: forgetDialog
        title: "Forget Device"
        message: "Forget \"" + panel.displayName + "\"?"
        detail: "It disappears from the device list, and the protocols cached from it on this computer are removed."
        confirmText: "Forget"
        destructive: true
        onConfirmed: panel.forget()
    }

    TransferToast {}
}
