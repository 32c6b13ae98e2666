import QtQuick 2.15
import "."

// A small rounded label: validity, save state, tip size, mode badges.
Rectangle {
    id: pill

    property alias text: label.text
    property color tone: Theme.textMuted
    property color fill: Qt.rgba(tone.r, tone.g, tone.b, 0.12)
    property int fontSize: Theme.fontCaption

    implicitWidth: label.implicitWidth + 14
    implicitHeight: 20
    radius: height / 2
    color: fill

    Text {
        id: label
        anchors.centerIn: parent
        font.family: Theme.fontFamily
        font.pixelSize: pill.fontSize
        font.weight: Font.DemiBold
        color: pill.tone
    }
}
