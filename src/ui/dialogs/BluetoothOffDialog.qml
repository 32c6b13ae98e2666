import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"

// Opens while the computer's Bluetooth is switched off; only the link's own state closes
// it (a click outside does not).
AppDialog {
    id: dialog

    property var link: null

    objectName: "bluetoothOffDialog"
    title: "Bluetooth is Off"
    width: 480
    closePolicy: Popup.NoAutoClose

    DialogText {
        text: "Bluetooth is turned off on this computer."
        color: Theme.text
        font.weight: Font.DemiBold
    }
    DialogText {
        text: "Nerra Desktop needs Bluetooth to find and connect to your Nerra pipette. "
              + "Turn Bluetooth on and Nerra Desktop will retry the scan automatically."
    }

    buttons: [
        AppButton { objectName: "bluetoothCancel"; text: "Cancel"; variant: "ghost"; onClicked: if (dialog.link) dialog.link.dismissHostBluetoothDialog() },
        AppButton { objectName: "bluetoothSettings"; text: "Open Settings"; onClicked: if (dialog.link) dialog.link.openHostBluetoothSettings() },
        AppButton { objectName: "bluetoothTurnOn"; text: "Turn On Bluetooth"; variant: "primary"; onClicked: if (dialog.link) dialog.link.turnOnHostBluetooth() }
    ]
}
