import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Devices.js" as Devices

// The left column of the library page: the program's name and the known instruments.
Rectangle {
    id: panel

    property int selectedIndex: -1
    // Where each link stands, as the page knows it: { bleConnectedId, usbConnected, usbMatchIndex }.
    property var linkContext: ({ bleConnectedId: "", usbConnected: false, usbMatchIndex: -1 })

    // Bluetooth LE: each card's own state by unique id (kept by the page), and the last
    // error of the link until it is cleared.
    property var cardStates: ({})
    property string errorText: ""

    signal deviceClicked(int index)
    signal connectRequested(int index)
    signal errorDismissed()

    readonly property var devices: deviceManager.devices
    readonly property var shownSections: Devices.sections(devices, linkContext)
    readonly property var usbStatus: Devices.usbStatus(serialManager, typeof bootstrapManager !== "undefined"
                                                                       && bootstrapManager.isActive)
    readonly property var bleLink: typeof bleManager !== "undefined" ? bleManager : null
    readonly property bool scanning: bleLink !== null && bleLink.isScanning === true
    // The link's state the cards show, as one value so that each card reads it once.
    readonly property var bleState: bleLink === null ? null : ({
        isConnecting: bleLink.isConnecting, connectedDeviceId: bleLink.connectedDeviceId,
        connectionStage: bleLink.connectionStage, isScanning: bleLink.isScanning
    })

    color: Theme.surface

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // Brand
        Item {
            Layout.fillWidth: true
            Layout.preferredHeight: Theme.headerHeight

            Row {
                anchors.left: parent.left
                anchors.leftMargin: Theme.space4
                anchors.verticalCenter: parent.verticalCenter
                spacing: 10
                Image {
                    source: "../imgs/app-icon.png"
                    sourceSize.width: 28
                    sourceSize.height: 28
                    width: 28
                    height: 28
                    anchors.verticalCenter: parent.verticalCenter
                }
                Text {
                    text: "Nerra Desktop"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontLarge + 1
                    font.weight: Font.DemiBold
                    color: Theme.text
                    anchors.verticalCenter: parent.verticalCenter
                }
            }
            Rectangle {
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1
                color: Theme.border
            }
        }

        // The link's last error, until it is dismissed or the next attempt starts.
        Rectangle {
            objectName: "bleErrorBanner"
            Layout.fillWidth: true
            Layout.margins: Theme.space3
            Layout.bottomMargin: 0
            Layout.preferredHeight: bannerText.implicitHeight + 2 * Theme.space2
            visible: panel.errorText.length > 0
            radius: Theme.radius
            color: Qt.rgba(Theme.danger.r, Theme.danger.g, Theme.danger.b, 0.08)
            border.width: 1
            border.color: Qt.rgba(Theme.danger.r, Theme.danger.g, Theme.danger.b, 0.35)
            Text {
                id: bannerText
                objectName: "bleErrorText"
                anchors.left: parent.left
                anchors.right: dismissButton.left
                anchors.margins: Theme.space2
                anchors.verticalCenter: parent.verticalCenter
                text: panel.errorText
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.danger
            }
            AppButton {
                id: dismissButton
                objectName: "bleErrorDismiss"
                anchors.right: parent.right
                anchors.rightMargin: Theme.space1
                anchors.verticalCenter: parent.verticalCenter
                variant: "ghost"
                compact: true
                text: "✕"
                onClicked: panel.errorDismissed()
            }
        }

        Flickable {
            id: list
            objectName: "deviceList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            contentHeight: sectionColumn.implicitHeight + Theme.space4 + Theme.space3
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            Column {
                id: sectionColumn
                x: Theme.space3
                y: Theme.space4
                width: list.width - 2 * Theme.space3
                spacing: Theme.space2

                NewBoardCard {
                    id: newBoardCard
                    width: sectionColumn.width
                    boot: typeof bootstrapManager !== "undefined" ? bootstrapManager : null
                }

                Repeater {
                    model: panel.shownSections
                    delegate: Column {
                        id: section
                        readonly property var entry: modelData
                        width: sectionColumn.width
                        spacing: 6

                        SectionLabel {
                            objectName: "deviceSection"
                            leftPadding: Theme.space1
                            topPadding: index > 0 ? Theme.space2 : 0
                            text: section.entry.title.toUpperCase()
                        }
                        Repeater {
                            model: section.entry.indices
                            delegate: DeviceCard {
                                width: section.width
                                device: panel.devices[modelData]
                                deviceIndex: modelData
                                selected: modelData === panel.selectedIndex
                                connected: section.entry.key === "connected"
                                connectedOverUsb: Devices.isUsbConnected(modelData, panel.linkContext)
                                connectedOverBle: Devices.isBleConnected(device, panel.linkContext)
                                connectAction: panel.bleLink !== null ? Devices.connectAction(device) : ""
                                activity: Devices.cardActivity(device, panel.bleState,
                                                               device ? panel.cardStates[device.uniqueId] : null)
                                onClicked: panel.deviceClicked(modelData)
                                onConnectClicked: panel.connectRequested(modelData)
                            }
                        }
                    }
                }
            }

            EmptyState {
                parent: list
                anchors.centerIn: parent
                anchors.verticalCenterOffset: -40
                width: parent.width - 48
                visible: panel.devices.length === 0 && !newBoardCard.visible
                pipette: true
                title: "No devices yet"
                message: "Pipettes you pair or connect by USB appear here."
            }
        }

        // Connectivity footer: the USB row, where USB is offered at all.
        Rectangle {
            objectName: "usbRow"
            Layout.fillWidth: true
            Layout.preferredHeight: 44
            visible: mfgManager.usbAvailable
            color: Theme.surfaceAlt
            Rectangle {
                width: parent.width
                height: 1
                color: Theme.border
            }
            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: Theme.space4
                anchors.rightMargin: Theme.space3
                spacing: Theme.space2
                Rectangle {
                    Layout.preferredWidth: 8
                    Layout.preferredHeight: 8
                    radius: 4
                    color: panel.usbStatus.tone === "success" ? Theme.success
                           : (panel.usbStatus.tone === "warning" ? Theme.warning : Theme.textFaint)
                }
                Text {
                    text: "USB"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    font.weight: Font.DemiBold
                    color: Theme.textSecondary
                }
                Text {
                    objectName: "usbStatusText"
                    Layout.fillWidth: true
                    text: panel.usbStatus.text
                    elide: Text.ElideRight
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    color: panel.usbStatus.tone === "success" ? Theme.success
                           : (panel.usbStatus.tone === "warning" ? Theme.warning : Theme.textMuted)
                }
                AppButton {
                    objectName: "usbRescanButton"
                    text: "Rescan"
                    compact: true
                    onClicked: serialManager.rescan()
                }
            }
        }

        // While a scan runs: what it looks for.
        Rectangle {
            objectName: "scanInfo"
            Layout.fillWidth: true
            Layout.preferredHeight: scanInfoText.implicitHeight + 2 * Theme.space3
            visible: panel.scanning
            color: Theme.accentSoft
            Rectangle {
                width: parent.width
                height: 1
                color: Theme.border
            }
            Text {
                id: scanInfoText
                anchors.fill: parent
                anchors.margins: Theme.space3
                text: "Searching for Nerra pipettes nearby. Make sure the pipette is switched on and "
                      + "in Bluetooth mode; pipettes found appear under Discovered Devices."
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textSecondary
            }
        }

        // Bluetooth LE: one button starts and stops a scan.
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 52
            visible: panel.bleLink !== null
            color: Theme.surfaceAlt
            Rectangle {
                width: parent.width
                height: 1
                color: Theme.border
            }
            AppButton {
                objectName: "scanButton"
                anchors.fill: parent
                anchors.margins: Theme.space2
                variant: panel.scanning ? "secondary" : "primary"
                text: panel.scanning ? "Stop scanning" : "Scan for devices"
                onClicked: panel.scanning ? panel.bleLink.stopScan() : panel.bleLink.startScan()
            }
        }
    }
}
