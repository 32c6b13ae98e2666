import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

Switch {
    id: control
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    spacing: 10
    leftPadding: 0
    indicator: Rectangle {
        x: control.leftPadding
        y: parent.height / 2 - height / 2
        implicitWidth: 36
        implicitHeight: 20
        radius: 10
        color: control.checked ? (control.enabled ? Theme.accent : "#a9c2f2") : Theme.borderStrong
        Rectangle {
            x: control.checked ? parent.width - width - 2 : 2
            y: 2
            width: 16
            height: 16
            radius: 8
            color: "#ffffff"
            Behavior on x { NumberAnimation { duration: 120 } }
        }
    }
    contentItem: Text {
        leftPadding: control.indicator.width + control.spacing
        text: control.text
        font: control.font
        color: control.enabled ? Theme.text : Theme.textMuted
        verticalAlignment: Text.AlignVCenter
    }
}
