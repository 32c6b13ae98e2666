import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"

AppDialog {
    id: dialog

    property string message: ""

    DialogText { text: dialog.message; color: Theme.text }

    buttons: [
        AppButton { objectName: "messageOk"; text: "OK"; variant: "primary"; onClicked: dialog.close() }
    ]
}
