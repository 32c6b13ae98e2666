import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.settings 1.1

ApplicationWindow {
    id: mainWindow

    readonly property int fixedWidth: 1250
    readonly property int fixedHeight: 800
    // Position changes are only stored once the stored position has been applied, so the
    // window manager's first placement never overwrites it.
    property bool positionRestored: false

    title: "Nerra Desktop"
    visible: true
    width: fixedWidth
    height: fixedHeight
    minimumWidth: fixedWidth
    maximumWidth: fixedWidth
    minimumHeight: fixedHeight
    maximumHeight: fixedHeight
    color: "#f4f6f9"

    Settings {
        id: windowSettings
        category: "MainWindow"
        property int x: -1
        property int y: -1
    }

    Component.onCompleted: {
        if (windowSettings.x >= 0)
            mainWindow.x = windowSettings.x
        if (windowSettings.y >= 0)
            mainWindow.y = windowSettings.y
        positionRestored = true
    }
    onXChanged: if (positionRestored) windowSettings.x = x
    onYChanged: if (positionRestored) windowSettings.y = y

    StackView {
        id: pageStack
        objectName: "pageStack"
        anchors.fill: parent
        initialItem: Qt.resolvedUrl("pages/WelcomePage.qml")

        readonly property Transition fade: Transition {
            NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 200 }
        }
        readonly property Transition fadeOut: Transition {
            NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 200 }
        }
        pushEnter: fade
        pushExit: fadeOut
        popEnter: fade
        popExit: fadeOut
        replaceEnter: fade
        replaceExit: fadeOut
    }

    footer: Rectangle {
        objectName: "footerBar"
        height: 36
        color: "#ffffff"

        Rectangle {
            anchors.top: parent.top
            width: parent.width
            height: 1
            color: "#dde1e7"
        }

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: 16
            anchors.rightMargin: 16

            Item { Layout.fillWidth: true }

            Label {
                text: "Nerra Desktop " + buildVersion
                color: "#6b7280"
                font.pixelSize: 12
            }
        }
    }
}
