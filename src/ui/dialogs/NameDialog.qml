import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"

// Asks for a name. `submitted` fires on the confirm button (or Return) with the typed
// name; the handler closes the dialog, or leaves it open with `errorText` saying why not.
AppDialog {
    id: dialog

    property string message: ""
    property alias name: field.text
    property string errorText: ""
    property string confirmText: "OK"

    signal submitted(string name)

    function ask(prefill) {
        errorText = ""
        field.text = prefill
        open()
        field.selectAll()
        field.forceActiveFocus()
    }

    DialogText { text: dialog.message; visible: text.length > 0 }
    AppTextField {
        id: field
        objectName: "nameDialogField"
        width: parent.width
        invalid: dialog.errorText.length > 0
        onTextEdited: dialog.errorText = ""
        onAccepted: dialog.submitted(text)
    }
    DialogText {
        objectName: "nameDialogError"
        text: dialog.errorText
        visible: text.length > 0
        color: Theme.danger
    }

    buttons: [
        AppButton { objectName: "nameDialogCancel"; text: "Cancel"; onClicked: dialog.close() },
        AppButton {
            objectName: "nameDialogAccept"
            text: dialog.confirmText
            variant: "primary"
            enabled: field.text.trim().length > 0
            onClicked: dialog.submitted(field.text)
        }
    ]
}
