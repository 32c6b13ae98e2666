import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Editor.js" as Editor

// The validator's messages for one step, each with a "fix" when it suggests a volume.
ColumnLayout {
    id: list

    property var errors: []
    property var command: null
    property bool editable: true

    signal fixRequested(var command, real fixVolume)

    spacing: 4

    Repeater {
        model: list.errors
        delegate: Rectangle {
            objectName: "stepError"
            readonly property var fix: list.command
                                       ? Editor.fixFor({ type: list.command.type,
                                                         extraVolume: list.command.extraVolume,
                                                         replicates: list.command.replicates },
                                                       modelData.fixVolume)
                                       : null
            Layout.fillWidth: true
            implicitHeight: Math.max(28, row.implicitHeight + 10)
            radius: Theme.radiusSmall
            color: Theme.dangerSoft

            RowLayout {
                id: row
                anchors.fill: parent
                anchors.leftMargin: 10
                anchors.rightMargin: 6
                spacing: Theme.space2
                Text {
                    objectName: "errorMessage"
                    Layout.fillWidth: true
                    text: "⚠  " + modelData.message
                    wrapMode: Text.Wrap
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    color: "#a32020"
                }
                AppButton {
                    objectName: "fixButton"
                    visible: parent.parent.fix !== null && list.editable
                    compact: true
                    implicitHeight: 22
                    variant: "dangerGhost"
                    text: parent.parent.fix
                          ? "Fix: " + (parent.parent.fix.property === "dispenseVolume" ? "dispense " : "")
                            + Editor.formatVolume(parent.parent.fix.value) + " µL"
                          : ""
                    onClicked: list.fixRequested(list.command, modelData.fixVolume)
                }
            }
        }
    }
}
