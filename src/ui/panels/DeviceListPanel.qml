import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Display.js" as Display

// The left column of the library page: the program's name and the known instruments.
Rectangle {
    id: panel

    property int selectedIndex: -1

    signal deviceClicked(int index)

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

        SectionLabel {
            Layout.leftMargin: Theme.space4
            Layout.topMargin: Theme.space4
            Layout.bottomMargin: Theme.space2
            text: "DEVICES"
        }

        ListView {
            id: list
            objectName: "deviceList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 6
            leftMargin: Theme.space3
            rightMargin: Theme.space3
            model: deviceManager.devices
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            delegate: AbstractButton {
                id: card
                objectName: "deviceCard"
                readonly property var device: modelData
                readonly property string shownName: Display.displayDeviceName(
                                                        Display.formatDeviceName(device.name, device.serialNumber),
                                                        device.serialNumber)
                readonly property bool selected: index === panel.selectedIndex
                width: list.width - list.leftMargin - list.rightMargin
                height: 60
                hoverEnabled: true
                onClicked: panel.deviceClicked(index)

                background: Rectangle {
                    radius: Theme.radius
                    color: card.selected ? Theme.accentSoft : (card.hovered ? Theme.surfaceAlt : Theme.surface)
                    border.width: 1
                    border.color: card.selected ? Theme.accentSoftBorder : Theme.border
                }
                contentItem: RowLayout {
                    spacing: 10
                    Rectangle {
                        Layout.leftMargin: Theme.space3
                        Layout.preferredWidth: 12
                        Layout.preferredHeight: 12
                        radius: 6
                        color: Display.themeColor(card.device.themeColor)
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2
                        Text {
                            Layout.fillWidth: true
                            text: card.shownName
                            elide: Text.ElideRight
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontBody
                            font.weight: Font.DemiBold
                            color: Theme.text
                        }
                        Text {
                            Layout.fillWidth: true
                            text: card.device.serialNumber.length > 0 ? "S/N: " + card.device.serialNumber
                                                                     : (card.device.usbOnly ? "USB" : "Bluetooth")
                            elide: Text.ElideRight
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontSmall
                            color: Theme.textMuted
                        }
                    }
                    Pill {
                        Layout.rightMargin: Theme.space3
                        text: card.device.isPaired ? "Paired" : "Discovered"
                        tone: card.device.isPaired ? Theme.accent : Theme.textMuted
                    }
                }
            }

            EmptyState {
                anchors.centerIn: parent
                anchors.verticalCenterOffset: -40
                width: parent.width - 48
                visible: list.count === 0
                pipette: true
                title: "No devices yet"
                message: "Pipettes you pair or connect by USB appear here."
            }
        }
    }
}
