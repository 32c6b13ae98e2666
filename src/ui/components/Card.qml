import QtQuick 2.15
import "."

Rectangle {
    color: Theme.surface
    radius: Theme.radius
    border.width: 1
    border.color: Theme.border
}
