import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

TextField {
    id: control

    property bool invalid: false
    property string suffix: ""

    implicitHeight: Theme.controlHeight
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    color: enabled ? Theme.text : Theme.textMuted
    placeholderTextColor: Theme.textFaint
    selectByMouse: true
    selectionColor: Theme.accentSoftBorder
    selectedTextColor: Theme.text
    leftPadding: 10
    rightPadding: suffix.length > 0 ? suffixLabel.implicitWidth + 14 : 10
    verticalAlignment: TextInput.AlignVCenter

    background: Rectangle {
        radius: Theme.radiusSmall
        color: control.enabled ? Theme.surface : Theme.surfaceAlt
        border.width: control.activeFocus ? 2 : 1
        border.color: control.invalid ? Theme.danger
                                      : (control.activeFocus ? Theme.accent
                                                             : (control.hovered && control.enabled ? Theme.borderStrong : Theme.border))
        Text {
            id: suffixLabel
            anchors.right: parent.right
            anchors.rightMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            text: control.suffix
            visible: control.suffix.length > 0
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: Theme.textMuted
        }
    }
}
