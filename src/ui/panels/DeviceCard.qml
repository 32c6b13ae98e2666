import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Display.js" as Display

// One known instrument in the device list.
AbstractButton {
    id: card

    property var device: null
    property int deviceIndex: -1
    property bool selected: false
    property bool connected: false
    property bool connectedOverUsb: false
    property bool connectedOverBle: false
    // What Bluetooth LE is doing for this card ("Connecting...", a stage, "Searching...").
    property string activity: ""
    // "connect" or "scan" when the card offers to connect over Bluetooth LE.
    property string connectAction: ""

    signal connectClicked()

    readonly property string serialNumber: device ? device.serialNumber : ""
    readonly property string shownName: device ? Display.displayDeviceName(
                                                     Display.formatDeviceName(device.name, serialNumber),
                                                     serialNumber) : ""

    objectName: "deviceCard"
    height: 60
    hoverEnabled: true

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
            color: Display.themeColor(card.device ? card.device.themeColor : -1)
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Text {
                objectName: "deviceCardName"
                Layout.fillWidth: true
                text: card.shownName
                elide: Text.ElideRight
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                font.weight: Font.DemiBold
                color: Theme.text
            }
            Text {
                objectName: "deviceCardDetail"
                Layout.fillWidth: true
                text: card.activity.length > 0 ? card.activity
                      : card.serialNumber.length > 0 ? "S/N: " + card.serialNumber
                      : (card.device && card.device.usbOnly ? "USB" : "Bluetooth")
                elide: Text.ElideRight
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: card.activity.length > 0 ? Theme.accent : Theme.textMuted
            }
        }
        AppButton {
            objectName: "connectButton"
            Layout.rightMargin: Theme.space3
            visible: !card.connected && card.connectAction.length > 0 && card.activity.length === 0
            compact: true
            text: "Connect"
            onClicked: card.connectClicked()
        }
        Pill {
            Layout.rightMargin: Theme.space3
            visible: card.connected || card.connectAction.length === 0
            text: card.connected ? (card.connectedOverUsb ? (card.connectedOverBle ? "● Bluetooth + USB" : "● USB") : "● Bluetooth")
                                 : (card.device && card.device.isPaired ? "Paired" : "Discovered")
            tone: card.connected ? Theme.success : (card.device && card.device.isPaired ? Theme.accent : Theme.textMuted)
        }
    }
}
