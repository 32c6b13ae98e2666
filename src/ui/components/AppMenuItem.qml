import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

MenuItem {
    id: item
    property bool destructive: false
    implicitHeight: 32
    leftPadding: 12
    rightPadding: 12
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    contentItem: Text {
        text: item.text
        font: item.font
        color: !item.enabled ? Theme.textFaint : (item.destructive ? Theme.danger : Theme.text)
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        radius: Theme.radiusSmall
        color: item.highlighted ? (item.destructive ? Theme.dangerSoft : Theme.surfaceAlt) : "transparent"
    }
}
