import QtQuick 2.15
import "."

// Body text of a dialog, wrapped to the dialog's width.
Text {
    width: parent ? parent.width : implicitWidth
    wrapMode: Text.Wrap
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    color: Theme.textSecondary
    lineHeight: 1.25
}
