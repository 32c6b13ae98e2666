import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"

// A question with a cancel and a confirm button. `confirmed` fires on the confirm button
// after the dialog has closed.
AppDialog {
    id: dialog

    property string message: ""
    property string detail: ""
    property string confirmText: "OK"
    property string cancelText: "Cancel"

    signal confirmed()

    DialogText { text: dialog.message; color: Theme.text; visible: text.length > 0 }
    DialogText { text: dialog.detail; visible: text.length > 0 }

    buttons: [
        AppButton {
            objectName: "confirmCancel"
            text: dialog.cancelText
            onClicked: dialog.close()
        },
        AppButton {
            objectName: "confirmAccept"
            text: dialog.confirmText
            variant: dialog.destructive ? "danger" : "primary"
            onClicked: {
                dialog.close()
                dialog.confirmed()
            }
        }
    ]
}
