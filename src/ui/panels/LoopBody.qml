import QtQuick 2.15
import QtQuick.Controls 2.15
import "../components"
import "../js/Editor.js" as Editor

// The steps inside a loop, each with its own form, order buttons and errors.
Column {
    id: body

    property var loop: null
    property int loopIndex: -1
    property bool editable: true
    property var errorIndex: ({ steps: {}, inLoop: {}, method: [] })

    // The loop reports every edit inside its body as a change of the body. The rows are
    // only rebuilt when the steps themselves change, so editing one keeps the others.
    property var steps: []
    function syncSteps() {
        var current = loop ? loop.innerCommands : []
        var same = current.length === steps.length
        for (var i = 0; same && i < current.length; ++i)
            same = current[i] === steps[i]
        if (!same)
            steps = current
    }
    onLoopChanged: syncSteps()
    Connections {
        target: body.loop
        function onInnerCommandsChanged() { body.syncSteps() }
    }

    signal fixRequested(var command, real fixVolume)
    signal interacted()

    spacing: 6

    Repeater {
        model: body.steps
        delegate: Rectangle {
            id: row
            readonly property var command: modelData
            readonly property string key: body.loopIndex + "." + index
            readonly property var errors: body.errorIndex.steps[key] || []
            objectName: "inner_" + key
            width: body.width
            height: rowContent.height + 16
            radius: Theme.radiusSmall
            color: Theme.surfaceAlt
            border.width: 1
            border.color: errors.length > 0 ? "#f2b8b8" : Theme.divider

            Column {
                id: rowContent
                x: 10
                y: 8
                width: parent.width - 20
                spacing: 6

                // The step's name and its order controls, then its form underneath.
                Item {
                    width: parent.width
                    height: 24

                    Row {
                        id: label
                        spacing: Theme.space2
                        height: parent.height
                        Text {
                            width: 30
                            anchors.verticalCenter: parent.verticalCenter
                            text: (body.loopIndex + 1) + "." + (index + 1)
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontCaption
                            font.weight: Font.DemiBold
                            color: Theme.textMuted
                        }
                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: Theme.stepGlyph(row.command ? row.command.type : "")
                            font.pixelSize: 13
                            font.weight: Font.Bold
                            color: Theme.stepColor(row.command ? row.command.type : "")
                        }
                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            text: Editor.stepLabel(row.command ? row.command.type : "")
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontBody
                            font.weight: Font.DemiBold
                            color: Theme.text
                        }
                        Pill {
                            anchors.verticalCenter: parent.verticalCenter
                            visible: row.command !== null && row.command.type !== "tipselect"
                            text: row.command && row.command.tip === "small" ? "Small tip" : "Large tip"
                            tone: Theme.textMuted
                            implicitHeight: 18
                        }
                    }

                    Row {
                        id: orderButtons
                        anchors.right: parent.right
                        height: parent.height
                        spacing: 0
                        visible: body.editable
                        IconButton {
                            anchors.verticalCenter: parent.verticalCenter
                            enabled: index > 0
                            glyph: "↑"
                            glyphSize: 12
                            size: 22
                            tip: "Move up"
                            onClicked: {
                                body.interacted()
                                body.loop.moveInnerCommand(index, index - 1)
                            }
                        }
                        IconButton {
                            anchors.verticalCenter: parent.verticalCenter
                            enabled: index < body.steps.length - 1
                            glyph: "↓"
                            glyphSize: 12
                            size: 22
                            tip: "Move down"
                            onClicked: {
                                body.interacted()
                                body.loop.moveInnerCommand(index, index + 1)
                            }
                        }
                        IconButton {
                            objectName: "removeInner"
                            anchors.verticalCenter: parent.verticalCenter
                            glyph: "✕"
                            glyphSize: 11
                            size: 22
                            tip: "Remove step from loop"
                            hoverTone: Theme.danger
                            onClicked: {
                                body.interacted()
                                body.loop.removeInnerCommand(index)
                            }
                        }
                    }
                }

                StepFields {
                    x: 38
                    width: parent.width - x
                    compact: true
                    command: row.command
                    editable: body.editable
                }

                StepErrors {
                    x: 38
                    width: parent.width - x
                    visible: row.errors.length > 0
                    errors: row.errors
                    command: row.command
                    editable: body.editable
                    onFixRequested: body.fixRequested(command, fixVolume)
                }
            }
        }
    }

    Text {
        visible: body.steps.length === 0
        text: "The loop is empty. Add the steps it repeats."
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontSmall
        color: Theme.textMuted
    }

    AppButton {
        id: addButton
        objectName: "addInnerStep"
        visible: body.editable
        compact: true
        variant: "ghost"
        text: "+ Add step to loop"
        onClicked: {
            body.interacted()
            addMenu.popup(addButton, 0, addButton.height + 2)
        }
        AppMenu {
            id: addMenu
            AppMenuItem { text: "Tip Select"; onTriggered: body.loop.addInnerCommand("tipselect") }
            AppMenuItem { text: "Aspirate"; onTriggered: body.loop.addInnerCommand("aspirate") }
            AppMenuItem { text: "Air Gap"; onTriggered: body.loop.addInnerCommand("airgap") }
            AppMenuItem { text: "Dispense"; onTriggered: body.loop.addInnerCommand("dispense") }
            AppMenuItem { text: "Purge"; onTriggered: body.loop.addInnerCommand("purge") }
            AppMenuItem { text: "Mix"; onTriggered: body.loop.addInnerCommand("mix") }
            AppMenuItem { text: "Repeat"; onTriggered: body.loop.addInnerCommand("repeat") }
        }
    }
}
