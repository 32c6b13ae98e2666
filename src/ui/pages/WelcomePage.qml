import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Stands in for the library page until the method library and device list arrive.
Page {
    background: Rectangle { color: "#f4f6f9" }

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 16

        Image {
            Layout.alignment: Qt.AlignHCenter
            source: "../imgs/app-icon.png"
            sourceSize.width: 96
            sourceSize.height: 96
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Nerra Desktop"
            font.pixelSize: 32
            font.weight: Font.DemiBold
            color: "#1f2937"
        }
        Label {
            Layout.alignment: Qt.AlignHCenter
            text: "Build, check and send pipetting methods to your Nerra pipette."
            font.pixelSize: 15
            color: "#4b5563"
        }
    }
}
