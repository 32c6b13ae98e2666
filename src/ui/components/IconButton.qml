import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

// A square button showing one glyph, with a tooltip.
ToolButton {
    id: control

    property string glyph: ""
    property string tip: ""
    property color tone: Theme.textMuted
    property color hoverTone: Theme.text
    property int glyphSize: 16
    property int size: 28

    implicitWidth: size
    implicitHeight: size
    padding: 0
    hoverEnabled: true
    focusPolicy: Qt.TabFocus

    ToolTip.visible: tip.length > 0 && hovered
    ToolTip.text: tip
    ToolTip.delay: 500

    contentItem: Text {
        text: control.glyph
        font.family: Theme.fontFamily
        font.pixelSize: control.glyphSize
        color: !control.enabled ? Theme.textFaint : (control.hovered ? control.hoverTone : control.tone)
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: Theme.radiusSmall
        color: control.down ? Theme.sunken : (control.hovered && control.enabled ? Theme.surfaceAlt : "transparent")
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.accentSoftBorder
    }
}
