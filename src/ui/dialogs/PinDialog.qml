import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"

AppDialog {
    id: dialog

    property bool showError: false

    objectName: "pinDialog"
    title: "Manufacturing Mode"
    width: 380

    function submit() {
        if (typeof mfgManager !== "undefined" && mfgManager && mfgManager.activateWithPin(pinField.text)) {
            dialog.close()
            return
        }
        showError = true
        pinField.selectAll()
        pinField.forceActiveFocus()
    }

    onAboutToShow: {
        pinField.text = ""
        showError = false
    }
    onOpened: pinField.forceActiveFocus()

    DialogText { text: "Enter PIN to enable Manufacturing Mode:" }

    AppTextField {
        id: pinField
        objectName: "pinField"
        width: parent.width
        echoMode: TextInput.Password
        // The hint alone does not stop a desktop keyboard.
        validator: RegularExpressionValidator { regularExpression: /[0-9]*/ }
        passwordCharacter: "●"
        maximumLength: 5
        inputMethodHints: Qt.ImhDigitsOnly
        placeholderText: "5-digit PIN"
        invalid: dialog.showError
        onTextEdited: dialog.showError = false
        onAccepted: dialog.submit()
    }

    Text {
        objectName: "pinError"
        text: "Incorrect PIN"
        visible: dialog.showError
        color: Theme.danger
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontSmall
        font.weight: Font.Medium
    }

    buttons: [
        AppButton { text: "Cancel"; onClicked: dialog.close() },
        AppButton { objectName: "pinOk"; text: "OK"; variant: "primary"; onClicked: dialog.submit() }
    ]
}
