import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Editor.js" as Editor

// One top-level step of the method: number, kind, tip, its form, its errors, and for a
// loop the body with its own steps.
Rectangle {
    id: card

    property var command: null
    property int stepIndex: -1
    property bool selected: false
    property bool editable: true
    property bool dragging: false
    property var errorIndex: ({ steps: {}, inLoop: {}, method: [] })

    readonly property string type: command ? command.type : ""
    readonly property var errors: errorIndex.steps[String(stepIndex)] || []
    readonly property int bodyErrorCount: errorIndex.inLoop[String(stepIndex)] || 0
    readonly property bool hasErrors: errors.length > 0 || bodyErrorCount > 0
    readonly property bool canDrag: editable && stepIndex > 0
    property alias dragHandle: handleArea

    signal selectRequested()
    signal removeRequested()
    signal fixRequested(var command, real fixVolume)
    signal dragStarted(real sceneY)
    signal dragMoved(real sceneY)
    signal dragEnded()

    objectName: "step_" + stepIndex
    implicitHeight: content.implicitHeight + 2 * 12
    radius: Theme.radius
    color: selected ? "#f6f9ff" : Theme.surface
    border.width: selected ? 2 : 1
    border.color: selected ? Theme.accent : (hasErrors ? "#f2b8b8" : Theme.border)
    opacity: dragging ? 0.45 : 1

    MouseArea {
        anchors.fill: parent
        onPressed: {
            card.selectRequested()
            mouse.accepted = false
        }
    }

    // Kind colour along the left edge
    Rectangle {
        x: card.border.width
        y: card.border.width
        width: 4
        height: parent.height - 2 * card.border.width
        radius: 2
        color: Theme.stepColor(card.type)
    }

    // A plain column: the form flows and the messages wrap, and both would re-enter a
    // layout's height.
    Column {
        id: content
        x: 16
        y: 12
        width: parent.width - 16 - 12
        spacing: 10

        RowLayout {
            width: parent.width
            spacing: Theme.space2

            // Drag handle
            Item {
                Layout.preferredWidth: 16
                Layout.preferredHeight: 24
                Text {
                    anchors.centerIn: parent
                    text: "⠿"
                    font.pixelSize: 16
                    color: handleArea.containsMouse || card.dragging ? Theme.textSecondary : Theme.textFaint
                    visible: card.canDrag
                }
                MouseArea {
                    id: handleArea
                    objectName: "dragHandle"
                    anchors.fill: parent
                    anchors.margins: -4
                    enabled: card.canDrag
                    hoverEnabled: true
                    cursorShape: card.canDrag ? (pressed ? Qt.ClosedHandCursor : Qt.OpenHandCursor) : Qt.ArrowCursor
                    preventStealing: true
                    onPressed: {
                        card.selectRequested()
                        card.dragStarted(mapToItem(null, mouse.x, mouse.y).y)
                    }
                    onPositionChanged: if (pressed) card.dragMoved(mapToItem(null, mouse.x, mouse.y).y)
                    onReleased: card.dragEnded()
                    onCanceled: card.dragEnded()
                }
            }

            Rectangle {
                Layout.preferredWidth: 24
                Layout.preferredHeight: 24
                radius: 12
                color: card.selected ? Theme.accent : Theme.sunken
                Text {
                    anchors.centerIn: parent
                    text: card.stepIndex + 1
                    font.family: Theme.fontFamily
                    font.pixelSize: card.stepIndex + 1 >= 100 ? 9 : Theme.fontCaption
                    font.weight: Font.DemiBold
                    color: card.selected ? "#ffffff" : Theme.textSecondary
                }
            }

            Text {
                text: Theme.stepGlyph(card.type)
                font.family: Theme.fontFamily
                font.pixelSize: 15
                font.weight: Font.Bold
                color: Theme.stepColor(card.type)
            }
            Text {
                objectName: "stepTitle"
                text: Editor.stepLabel(card.type)
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontLarge - 1
                font.weight: Font.DemiBold
                color: Theme.text
            }
            Pill {
                visible: card.type !== "tipselect" && card.type !== ""
                text: card.command && card.command.tip === "small" ? "Small tip" : "Large tip"
                tone: Theme.textMuted
            }
            Item { Layout.fillWidth: true }
            Pill {
                objectName: "errorCount"
                visible: card.hasErrors
                readonly property int count: card.errors.length + card.bodyErrorCount
                text: count === 1 ? "1 problem" : count + " problems"
                tone: Theme.danger
            }
            IconButton {
                objectName: "removeStep"
                visible: card.editable
                glyph: "✕"
                glyphSize: 12
                size: 24
                tip: "Remove step"
                hoverTone: Theme.danger
                onClicked: card.removeRequested()
            }
        }

        StepFields {
            x: 24
            width: parent.width - 24
            command: card.command
            editable: card.editable
        }

        LoopBody {
            x: 24
            width: parent.width - 24
            visible: card.type === "loop"
            loop: card.type === "loop" ? card.command : null
            loopIndex: card.stepIndex
            editable: card.editable
            errorIndex: card.errorIndex
            onFixRequested: card.fixRequested(command, fixVolume)
            onInteracted: card.selectRequested()
        }

        StepErrors {
            x: 24
            width: parent.width - 24
            visible: card.errors.length > 0
            errors: card.errors
            command: card.command
            editable: card.editable
            onFixRequested: card.fixRequested(command, fixVolume)
        }
    }
}
