import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"
import "../js/Editor.js" as Editor

// The validator's messages for one step, each with a "fix" when it suggests a volume.
// Plain positioning throughout: wrapped text inside layouts re-enters its own height.
Column {
    id: list

    property var errors: []
    property var command: null
    property bool editable: true

    signal fixRequested(var command, real fixVolume)

    spacing: 4

    Repeater {
        model: list.errors
        delegate: Rectangle {
            id: errorRow
            objectName: "stepError"
            readonly property var fix: list.command
                                       ? Editor.fixFor({ type: list.command.type,
                                                         extraVolume: list.command.extraVolume,
                                                         replicates: list.command.replicates },
                                                       modelData.fixVolume)
                                       : null
            readonly property bool showFix: fix !== null && list.editable
            width: list.width
            height: Math.max(28, message.implicitHeight + 12)
            radius: Theme.radiusSmall
            color: Theme.dangerSoft

            Text {
                id: message
                objectName: "errorMessage"
                x: 10
                width: parent.width - x - (errorRow.showFix ? fixButton.width + 14 : 10)
                anchors.verticalCenter: parent.verticalCenter
                text: "⚠  " + modelData.message
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: "#a32020"
            }
            AppButton {
                id: fixButton
                objectName: "fixButton"
                anchors.right: parent.right
                anchors.rightMargin: 4
                anchors.verticalCenter: parent.verticalCenter
                visible: errorRow.showFix
                compact: true
                implicitHeight: 22
                variant: "dangerGhost"
                text: errorRow.fix
                      ? "Fix: " + (errorRow.fix.property === "dispenseVolume" ? "dispense " : "")
                        + Editor.formatVolume(errorRow.fix.value) + " µL"
                      : ""
                onClicked: list.fixRequested(list.command, modelData.fixVolume)
            }
        }
    }
}
