import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"

// The instrument's own preferences: its name, serial number (manufacturing mode), and the
// Wi-Fi network it joins. Each one is sent on its own through the active link; the field
// empties again once the instrument answers.
Flickable {
    id: panel

    property var link: null
    property bool connected: false
    property string currentName: ""
    property string currentSerial: ""
    property string currentSsid: ""

    function send(key, field) {
        var value = key === "password" ? field.text : field.text.trim()
        if (link && connected && value.length > 0)
            link.setPref(key, value)
    }

    contentHeight: column.implicitHeight + 2 * Theme.space5
    clip: true
    boundsBehavior: Flickable.StopAtBounds

    Connections {
        target: panel.link
        ignoreUnknownSignals: true
        function onSetPrefResult(success, key) {
            var fields = { "name": nameField, "sn": serialField, "ssid": ssidField, "password": passwordField }
            if (fields[key])
                fields[key].text = ""
        }
    }

    ColumnLayout {
        id: column
        x: Theme.space5
        y: Theme.space5
        width: Math.min(panel.width - 2 * Theme.space5, 620)
        spacing: Theme.space4

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 40
            radius: Theme.radius
            color: Theme.sunken
            visible: !panel.connected
            Text {
                anchors.fill: parent
                anchors.leftMargin: Theme.space3
                verticalAlignment: Text.AlignVCenter
                text: "Connect the pipette to change its settings."
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.textSecondary
            }
        }

        Card {
            Layout.fillWidth: true
            implicitHeight: identity.implicitHeight + 2 * Theme.space4
            GridLayout {
                id: identity
                anchors.fill: parent
                anchors.margins: Theme.space4
                columns: 3
                columnSpacing: Theme.space3
                rowSpacing: Theme.space3

                SectionLabel { text: "IDENTITY"; Layout.columnSpan: 3 }

                FieldLabel { text: "Name" }
                AppTextField {
                    id: nameField
                    objectName: "prefName"
                    Layout.fillWidth: true
                    enabled: panel.connected
                    maximumLength: 24
                    placeholderText: panel.currentName.length > 0 ? panel.currentName : "No name set"
                    onAccepted: panel.send("name", nameField)
                }
                AppButton {
                    text: "Save"
                    enabled: panel.connected && nameField.text.trim().length > 0
                    onClicked: panel.send("name", nameField)
                }

                FieldLabel { text: "Serial number"; visible: mfgManager.mfgMode }
                AppTextField {
                    id: serialField
                    objectName: "prefSerial"
                    Layout.fillWidth: true
                    visible: mfgManager.mfgMode
                    enabled: panel.connected
                    placeholderText: panel.currentSerial.length > 0 ? panel.currentSerial : "Not set"
                    onAccepted: panel.send("sn", serialField)
                }
                AppButton {
                    visible: mfgManager.mfgMode
                    text: "Save"
                    enabled: panel.connected && serialField.text.trim().length > 0
                    onClicked: panel.send("sn", serialField)
                }
            }
        }

        Card {
            Layout.fillWidth: true
            implicitHeight: wifi.implicitHeight + 2 * Theme.space4
            GridLayout {
                id: wifi
                anchors.fill: parent
                anchors.margins: Theme.space4
                columns: 3
                columnSpacing: Theme.space3
                rowSpacing: Theme.space3

                SectionLabel { text: "WI-FI"; Layout.columnSpan: 3 }

                FieldLabel { text: "Network" }
                AppTextField {
                    id: ssidField
                    objectName: "prefSsid"
                    Layout.fillWidth: true
                    enabled: panel.connected
                    placeholderText: panel.currentSsid.length > 0 ? panel.currentSsid : "Network name (SSID)"
                    onAccepted: panel.send("ssid", ssidField)
                }
                AppButton {
                    text: "Save"
                    enabled: panel.connected && ssidField.text.trim().length > 0
                    onClicked: panel.send("ssid", ssidField)
                }

                FieldLabel { text: "Password" }
                AppTextField {
                    id: passwordField
                    objectName: "prefPassword"
                    Layout.fillWidth: true
                    enabled: panel.connected
                    echoMode: TextInput.Password
                    placeholderText: "Wi-Fi password"
                    onAccepted: panel.send("password", passwordField)
                }
                AppButton {
                    text: "Save"
                    enabled: panel.connected && passwordField.text.length > 0
                    onClicked: panel.send("password", passwordField)
                }
            }
        }
    }
}
