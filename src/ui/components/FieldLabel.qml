import QtQuick 2.15
import QtQuick.Layouts 1.15
import "."

Text {
    Layout.preferredWidth: 110
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody
    color: Theme.textSecondary
    elide: Text.ElideRight
}
