import QtQuick 2.15
import QtQuick.Controls 2.15

// Says why `target` is disabled while the pointer rests on it. A disabled item gets no
// hover events and passes its state to its children, so this lies over the target as its
// sibling: put both in a plain Item (not a Row or a layout, which would place it).
MouseArea {
    property Item target
    property string text

    x: target ? target.x : 0
    y: target ? target.y : 0
    width: target ? target.width : 0
    height: target ? target.height : 0
    z: 1
    visible: target !== null && target.visible && !target.enabled && text.length > 0
    hoverEnabled: true
    acceptedButtons: Qt.NoButton
    ToolTip.visible: containsMouse
    ToolTip.delay: 400
    ToolTip.text: text
}
