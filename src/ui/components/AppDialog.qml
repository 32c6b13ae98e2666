import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

// A modal dialog in the interface's look: title, content, and a footer row of buttons
// given by the dialog (right-aligned, the main action last).
Dialog {
    id: dialog

    default property alias content: body.data
    property alias buttons: buttonRow.data
    property bool destructive: false

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    width: 440
    padding: 24
    topPadding: 4
    bottomPadding: 8
    closePolicy: Popup.CloseOnEscape

    Overlay.modal: Rectangle { color: "#661c2430" }

    enter: Transition {
        NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 120 }
        NumberAnimation { property: "scale"; from: 0.97; to: 1; duration: 120; easing.type: Easing.OutCubic }
    }
    exit: Transition {
        NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 100 }
    }

    header: Item {
        implicitHeight: titleText.implicitHeight + 28
        Text {
            id: titleText
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.leftMargin: 24
            anchors.rightMargin: 24
            anchors.bottomMargin: 8
            text: dialog.title
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontTitle - 1
            font.weight: Font.DemiBold
            color: Theme.text
            elide: Text.ElideRight
        }
    }

    contentItem: Column {
        id: body
        spacing: Theme.space3
    }

    footer: Item {
        implicitHeight: 64
        Row {
            id: buttonRow
            anchors.right: parent.right
            anchors.rightMargin: 24
            anchors.verticalCenter: parent.verticalCenter
            anchors.verticalCenterOffset: -4
            spacing: Theme.space2
        }
    }

    background: Rectangle {
        radius: 12
        color: Theme.surface
        border.width: 1
        border.color: Theme.border
        Rectangle {
            z: -1
            anchors.fill: parent
            anchors.margins: -1
            anchors.topMargin: 3
            anchors.bottomMargin: -6
            radius: 14
            color: "#22000000"
        }
    }
}
