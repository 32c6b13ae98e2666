import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

// Pipetting speed 1 (slowest) to 7 (fastest) as seven buttons. A stored value outside
// that range lights none of them, and the step shows the validator's message.
Row {
    id: selector

    property int value: 5
    property int cell: 22

    signal picked(int speed)

    spacing: 2

    Repeater {
        model: 7
        delegate: AbstractButton {
            id: cellButton
            readonly property int speed: index + 1
            readonly property bool current: selector.value === speed
            objectName: "speed_" + speed
            width: selector.cell
            height: selector.cell
            hoverEnabled: true
            enabled: selector.enabled
            focusPolicy: Qt.NoFocus
            onClicked: selector.picked(speed)
            ToolTip.visible: hovered
            ToolTip.delay: 600
            ToolTip.text: speed === 1 ? "Speed 1 (slowest)" : (speed === 7 ? "Speed 7 (fastest)" : "Speed " + speed)
            background: Rectangle {
                radius: 4
                color: cellButton.current ? (selector.enabled ? Theme.accent : Theme.textFaint)
                                          : (cellButton.hovered && selector.enabled ? Theme.accentSoft : Theme.surface)
                border.width: cellButton.current ? 0 : 1
                border.color: Theme.border
            }
            contentItem: Text {
                text: cellButton.speed
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontCaption
                font.weight: Font.DemiBold
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
                color: cellButton.current ? "#ffffff" : (selector.enabled ? Theme.textSecondary : Theme.textFaint)
            }
        }
    }
}
