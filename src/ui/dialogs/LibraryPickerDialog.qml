import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"

// Picks one method of the library. `picked` fires with its id and name; the handler
// closes the dialog, or leaves it open with `errorText` saying why not.
AppDialog {
    id: dialog

    property string errorText: ""

    signal picked(string protocolId, string name)

    function ask() {
        errorText = ""
        open()
    }

    width: 480

    DialogText {
        text: list.count > 0 ? "Choose the method to copy to this device. It is saved here first; Transfer sends it."
                             : "The Protocol Library is empty."
    }
    ListView {
        id: list
        objectName: "libraryPickerList"
        width: parent.width
        height: Math.min(contentHeight, 300)
        clip: true
        model: protocolLibrary.protocols
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}
        delegate: ItemDelegate {
            objectName: "libraryPickerItem"
            width: list.width
            height: 36
            hoverEnabled: true
            onClicked: {
                dialog.errorText = ""
                dialog.picked(modelData.id, modelData.name)
            }
            contentItem: RowLayout {
                spacing: Theme.space2
                Text {
                    Layout.fillWidth: true
                    text: modelData.name
                    elide: Text.ElideRight
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontBody
                    color: Theme.text
                }
                Pill {
                    text: modelData.hasErrors ? "⚠ Invalid" : "✓ Valid"
                    tone: modelData.hasErrors ? Theme.danger : Theme.success
                }
            }
            background: Rectangle { color: parent.hovered ? Theme.surfaceAlt : "transparent"; radius: Theme.radiusSmall }
        }
    }
    DialogText {
        objectName: "libraryPickerError"
        text: dialog.errorText
        visible: text.length > 0
        color: Theme.danger
    }

    buttons: [
        AppButton { text: "Cancel"; onClicked: dialog.close() }
    ]
}
