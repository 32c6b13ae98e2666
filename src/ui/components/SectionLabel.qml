import QtQuick 2.15
import "."

// Small capitals that name a section of a panel.
Text {
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontCaption
    font.weight: Font.DemiBold
    font.letterSpacing: 0.8
    color: Theme.textMuted
}
