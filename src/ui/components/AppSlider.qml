import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

Slider {
    id: control

    implicitHeight: 28
    background: Rectangle {
        x: control.leftPadding
        y: control.topPadding + control.availableHeight / 2 - height / 2
        width: control.availableWidth
        height: 4
        radius: 2
        color: Theme.sunken
        Rectangle {
            width: control.visualPosition * parent.width
            height: parent.height
            radius: 2
            color: control.enabled ? Theme.accent : Theme.borderStrong
        }
    }
    handle: Rectangle {
        x: control.leftPadding + control.visualPosition * (control.availableWidth - width)
        y: control.topPadding + control.availableHeight / 2 - height / 2
        width: 18
        height: 18
        radius: 9
        color: control.pressed ? Theme.surfaceAlt : Theme.surface
        border.width: 1
        border.color: control.enabled ? (control.hovered || control.pressed ? Theme.accent : Theme.borderStrong)
                                      : Theme.border
    }
}
