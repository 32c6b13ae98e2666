import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"

// Name and description of the method. A new method starts here; later the pencil in the
// header brings it back.
Card {
    id: form

    property bool isNew: true
    property string protocolId: ""
    // A library method's name is unique in the library; an instrument's protocol is
    // checked against the instrument's files when it is saved.
    property bool checkLibrary: true

    readonly property string trimmedName: nameField.text.trim()
    // Re-checked whenever the library changes, not only when the name is typed.
    readonly property bool nameTaken: checkLibrary && trimmedName.length > 0 && protocolLibrary.protocols.length >= 0
                                      && !protocolLibrary.isNameAvailable(trimmedName, protocolId)
    readonly property bool canCommit: trimmedName.length > 0 && !nameTaken

    signal committed(string name, string description)
    signal cancelled()

    function load(name, description) {
        nameField.text = name
        descriptionField.text = description
        nameField.forceActiveFocus()
        nameField.selectAll()
    }
    function commit() {
        if (canCommit)
            committed(trimmedName, descriptionField.text.trim())
    }

    objectName: "nameForm"
    implicitHeight: column.implicitHeight + 2 * 28
    implicitWidth: 520

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 28
        spacing: Theme.space3

        Text {
            text: form.isNew ? "Name your protocol" : "Name & description"
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontTitle + 2
            font.weight: Font.DemiBold
            color: Theme.text
        }
        Text {
            Layout.fillWidth: true
            visible: form.isNew
            text: "Give the protocol a name you will recognise on the pipette. You can change it later."
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontBody
            color: Theme.textMuted
        }

        Item { Layout.preferredHeight: 4 }

        FormLabel { text: "Name" }
        AppTextField {
            id: nameField
            objectName: "nameField"
            Layout.fillWidth: true
            placeholderText: "e.g. Serial Dilution 1:10"
            maximumLength: 64
            invalid: form.nameTaken
            onAccepted: descriptionField.forceActiveFocus()
        }
        Text {
            objectName: "nameLength"
            Layout.alignment: Qt.AlignRight
            visible: nameField.activeFocus || nameField.length >= nameField.maximumLength - 8
            text: nameField.length + " / " + nameField.maximumLength
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: nameField.length >= nameField.maximumLength ? Theme.warning : Theme.textFaint
        }
        Text {
            objectName: "nameError"
            visible: form.nameTaken
            text: "Name already in use"
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            font.weight: Font.Medium
            color: Theme.danger
        }

        FormLabel { text: "Description"; Layout.topMargin: 4 }
        ScrollView {
            Layout.fillWidth: true
            Layout.preferredHeight: 84
            TextArea {
                id: descriptionField
                objectName: "descriptionField"
                placeholderText: "Optional: what the protocol is for, plate layout, reagents…"
                placeholderTextColor: Theme.textFaint
                wrapMode: TextEdit.Wrap
                selectByMouse: true
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.text
                // Tab moves on to the buttons; a description has no use for tab characters.
                Keys.onTabPressed: descriptionField.nextItemInFocusChain(true).forceActiveFocus(Qt.TabFocusReason)
                Keys.onBacktabPressed: nameField.forceActiveFocus(Qt.BacktabFocusReason)
                Keys.onReturnPressed: {
                    if (event.modifiers & Qt.ShiftModifier)
                        event.accepted = false
                    else
                        form.commit()
                }
                background: Rectangle {
                    radius: Theme.radiusSmall
                    color: Theme.surface
                    border.width: descriptionField.activeFocus ? 2 : 1
                    border.color: descriptionField.activeFocus ? Theme.accent : Theme.border
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.topMargin: Theme.space2
            spacing: Theme.space2
            Item { Layout.fillWidth: true }
            AppButton {
                objectName: "nameCancel"
                visible: !form.isNew
                text: "Cancel"
                onClicked: form.cancelled()
            }
            AppButton {
                objectName: "nameCommit"
                text: form.isNew ? "Create Protocol" : "Save"
                variant: "primary"
                enabled: form.canCommit
                onClicked: form.commit()
            }
        }
    }

    component FormLabel: Text {
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontSmall
        font.weight: Font.DemiBold
        color: Theme.textSecondary
    }
}
