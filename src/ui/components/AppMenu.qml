import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

Menu {
    id: menu
    padding: 4
    implicitWidth: 200
    background: Rectangle {
        implicitWidth: 200
        radius: Theme.radius
        color: Theme.surface
        border.width: 1
        border.color: Theme.border
        Rectangle {
            // soft shadow
            z: -1
            anchors.fill: parent
            anchors.topMargin: 2
            anchors.leftMargin: -1
            anchors.rightMargin: -1
            anchors.bottomMargin: -4
            radius: parent.radius + 2
            color: "#14000000"
        }
    }
}
