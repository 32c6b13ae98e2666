import QtQuick 2.15
import "."

// What a panel shows when it has nothing to list yet.
Column {
    id: state

    property string glyph: ""
    property bool pipette: false
    property string title: ""
    property string message: ""

    spacing: Theme.space2
    width: 360

    Rectangle {
        anchors.horizontalCenter: parent.horizontalCenter
        width: 56
        height: 56
        radius: 28
        color: Theme.sunken
        visible: state.glyph.length > 0 || state.pipette
        PipetteIcon {
            anchors.centerIn: parent
            width: 30
            height: 30
            visible: state.pipette
        }
        Text {
            anchors.centerIn: parent
            text: state.glyph
            font.family: Theme.fontFamily
            font.pixelSize: 24
            color: Theme.textMuted
        }
    }
    Item { width: 1; height: Theme.space1; visible: state.glyph.length > 0 || state.pipette }
    Text {
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        text: state.title
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontLarge
        font.weight: Font.DemiBold
        color: Theme.text
        wrapMode: Text.Wrap
    }
    Text {
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        text: state.message
        visible: state.message.length > 0
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontBody
        color: Theme.textMuted
        wrapMode: Text.Wrap
        lineHeight: 1.2
    }
}
