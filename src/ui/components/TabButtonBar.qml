import QtQuick 2.15
import QtQuick.Controls 2.15
import "."

// A row of text tabs with an accent underline. `tabs` is a list of
// {label, visible}; hidden tabs keep their index so callers address tabs by index.
Row {
    id: bar

    property var tabs: []
    property int currentIndex: 0
    property int fontSize: Theme.fontBody
    property int tabHeight: 40

    signal tabClicked(int index)

    spacing: Theme.space1

    Repeater {
        model: bar.tabs
        delegate: AbstractButton {
            id: tab
            objectName: "tab_" + modelData.label
            readonly property bool current: index === bar.currentIndex
            visible: modelData.visible === undefined || modelData.visible
            width: visible ? implicitWidth : 0
            implicitWidth: tabLabel.implicitWidth + 24
            height: bar.tabHeight
            hoverEnabled: true
            focusPolicy: Qt.TabFocus
            onClicked: bar.tabClicked(index)

            contentItem: Item {}
            background: Item {
                Rectangle {
                    anchors.fill: parent
                    anchors.topMargin: 6
                    anchors.bottomMargin: 6
                    radius: Theme.radiusSmall
                    color: tab.hovered && !tab.current ? Theme.surfaceAlt : "transparent"
                }
                Text {
                    id: tabLabel
                    anchors.centerIn: parent
                    text: modelData.label
                    font.family: Theme.fontFamily
                    font.pixelSize: bar.fontSize
                    font.weight: tab.current ? Font.DemiBold : Font.Medium
                    color: tab.current ? Theme.accent : (tab.hovered ? Theme.text : Theme.textSecondary)
                }
                Rectangle {
                    anchors.bottom: parent.bottom
                    anchors.horizontalCenter: parent.horizontalCenter
                    width: parent.width - 12
                    height: 2
                    radius: 1
                    color: Theme.accent
                    visible: tab.current
                }
            }
        }
    }
}
