import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

// The one button of the interface: "primary" (filled accent), "secondary" (outlined),
// "ghost" (text on hover background), "danger" (filled red) and "dangerGhost".
Button {
    id: control

    property string variant: "secondary"
    property bool compact: false
    property color tint: variant === "danger" || variant === "dangerGhost" ? Theme.danger : Theme.accent

    readonly property bool filled: variant === "primary" || variant === "danger"

    implicitHeight: compact ? 28 : Theme.controlHeight
    implicitWidth: Math.max(compact ? 28 : 64, contentItem.implicitWidth + leftPadding + rightPadding)
    leftPadding: compact ? 10 : 14
    rightPadding: compact ? 10 : 14
    topPadding: 0
    bottomPadding: 0
    font.family: Theme.fontFamily
    font.pixelSize: compact ? Theme.fontSmall : Theme.fontBody
    font.weight: filled ? Font.DemiBold : Font.Medium
    hoverEnabled: true
    focusPolicy: Qt.TabFocus
    // Enter presses the focused button, as Space does.
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Text {
        // "&&" is the framework's escape for a literal ampersand in button texts.
        text: control.text.replace(/&&/g, "&")
        font: control.font
        color: {
            if (!control.enabled)
                return Theme.textFaint
            if (control.filled)
                return Theme.textOnAccent
            if (control.variant === "secondary")
                return Theme.text
            return control.tint
        }
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        radius: Theme.radiusSmall
        color: {
            if (control.filled) {
                if (!control.enabled)
                    return Theme.sunken
                if (control.down)
                    return control.variant === "danger" ? Theme.dangerHover : Theme.accentPressed
                if (control.hovered)
                    return control.variant === "danger" ? Theme.dangerHover : Theme.accentHover
                return control.tint
            }
            if (control.variant === "secondary")
                return control.down ? Theme.sunken : (control.hovered && control.enabled ? Theme.surfaceAlt : Theme.surface)
            if (control.down)
                return control.variant === "dangerGhost" ? "#f9d7d9" : "#dbe7fd"
            if (control.hovered && control.enabled)
                return control.variant === "dangerGhost" ? Theme.dangerSoft : Theme.accentSoft
            return "transparent"
        }
        border.width: control.variant === "secondary" ? 1 : 0
        border.color: control.hovered && control.enabled ? Theme.borderStrong : Theme.border
        Rectangle {
            // Keyboard focus ring
            anchors.fill: parent
            anchors.margins: -3
            radius: parent.radius + 3
            color: "transparent"
            border.width: 2
            border.color: Theme.accentSoftBorder
            visible: control.visualFocus
        }
    }
}
