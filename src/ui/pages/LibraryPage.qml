import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../panels"
import "../dialogs"

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

    signal createProtocolRequested()
    signal editProtocolRequested(string protocolId)
    signal viewProtocolRequested(string protocolId)
    signal editDeviceProtocolRequested(string hardwareId, string filename)
    signal viewDeviceProtocolRequested(string hardwareId, string filename)

    readonly property var selectedDevice: {
        var devices = deviceManager.devices
        return selectedDeviceIndex >= 0 && selectedDeviceIndex < devices.length ? devices[selectedDeviceIndex] : null
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
        importErrorDialog.message = message
        importErrorDialog.open()
    }

    objectName: "libraryPage"
    background: Rectangle { color: Theme.window }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        DeviceListPanel {
            Layout.preferredWidth: 300
            Layout.fillHeight: true
            selectedIndex: page.selectedDeviceIndex
            onDeviceClicked: {
                page.selectedDeviceIndex = index
                page.selectedConnectionType = "ble"
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
