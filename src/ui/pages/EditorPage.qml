import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../dialogs"
import "../panels"
import "../js/Editor.js" as Editor
import "../js/Names.js" as Names
import "../js/TipSimulator.js" as Sim

// The method editor: the builder's method as a list of step forms, with the Add Step
// column on the left and the tip simulator on the right. Every change goes through the
// builder's operations or the commands' own properties.
Page {
    id: page

    property bool viewOnly: false
    property int selectedStepIndex: -1
    property bool editingMeta: false
    property int dragFromIndex: -1
    property int dragToIndex: -1

    readonly property var builder: protocolBuilder
    readonly property var commands: builder.commands
    readonly property bool setupDone: builder.protocolName.trim().length > 0
    // A method opened to view stays read-only even without a name: no form that could
    // change it.
    readonly property bool formShown: (!setupDone && !viewOnly) || editingMeta
    readonly property bool canEdit: setupDone && !formShown && !viewOnly
    readonly property var errorIndex: Editor.indexErrors(builder.validationErrors)
    readonly property bool tipSelectAllowed: commands.length === 0
                                             || (builder.validationErrors, builder.canInsertTipSelectAt(selectedStepIndex))

    signal backToLibrary()

    // A protocol of an instrument: its own save and transfer (DeviceEditorActions).
    readonly property bool deviceMode: builder.isDeviceProtocol
    property alias deviceDirty: editorHeader.deviceDirty
    property alias deviceSaveError: editorHeader.deviceSaveError
    property alias deviceSentHoldMs: editorHeader.deviceSentHoldMs

    function pressTransfer() {
        editorHeader.deviceActions.pressTransfer()
    }

    // Leaving with unsaved changes asks first.
    function requestBack() {
        if (!editorHeader.deviceActions.askBeforeLeaving())
            backToLibrary()
    }

    objectName: "editorPage"
    background: Rectangle { color: Theme.window }

    // ---- Operations ----------------------------------------------------------------

    function selectStep(index) {
        selectedStepIndex = index >= 0 && index < commands.length ? index : -1
    }

    function addStep(type) {
        if (!canEdit)
            return -1
        var position = builder.insertCommand(type, selectedStepIndex)
        if (position >= 0)
            selectAndReveal(position)
        return position
    }

    function removeStep(index) {
        if (!canEdit)
            return
        var keep = list.contentY
        builder.removeCommand(index)
        if (selectedStepIndex === index)
            selectedStepIndex = -1
        else if (selectedStepIndex > index)
            selectedStepIndex -= 1
        restoreScroll(keep)
    }

    // Moves a step; refused for the leading Tip Select and for index 0 as a target.
    function moveStep(from, to) {
        if (!canEdit || from < 1 || to < 1 || from >= commands.length || to >= commands.length || from === to)
            return false
        var keep = list.contentY
        builder.moveCommand(from, to)
        selectedStepIndex = to
        restoreScroll(keep)
        return true
    }

    function clearAllSteps() {
        builder.clearCommands()
        var position = builder.insertCommand("tipselect", -1)
        selectStep(position)
    }

    function applyFix(command, fixVolume) {
        var fix = Editor.fixFor({ type: command.type, extraVolume: command.extraVolume,
                                  replicates: command.replicates }, fixVolume)
        if (!fix || viewOnly)
            return
        if (fix.property === "dispenseVolume") {
            command.dispenseVolume = fix.value
        } else {
            var parts = Editor.splitVolume(fix.value)
            command.volumeWhole = parts.whole
            command.volumeFractional = parts.fractional
        }
    }

    function commitMeta(name, description) {
        if (viewOnly)
            return
        builder.setProtocolName(name)
        builder.setDescription(description)
        editingMeta = false
        if (commands.length === 0) {
            var position = builder.insertCommand("tipselect", -1)
            selectStep(position)
        }
    }

    function openMetaForm() {
        editingMeta = true
        nameForm.load(builder.protocolName, builder.description)
    }

    function exportProtocol() {
        var path = fileDialogHelper.saveFile("Export SPL File", Names.exportFileName(builder.protocolName),
                                             "SPL files (*.spl);;All files (*)", "spl")
        // A failure is shown by the builder's error dialog.
        if (path.length > 0 && builder.saveToFile(path))
            exportToast.show(true, "Exported " + Names.fileNameOf(path))
    }

    // The list is rebuilt when the steps change; keep the reader where they were.
    function restoreScroll(contentY) {
        Qt.callLater(function () {
            list.contentY = Math.min(contentY, Math.max(list.originY, list.contentHeight - list.height + list.originY))
            if (selectedStepIndex >= 0)
                list.positionViewAtIndex(selectedStepIndex, ListView.Contain)
        })
    }
    function selectAndReveal(index) {
        var keep = list.contentY
        selectedStepIndex = index
        restoreScroll(keep)
    }

    // ---- Dragging ------------------------------------------------------------------

    function visibleCards() {
        var cards = []
        var children = list.contentItem.children
        for (var i = 0; i < children.length; ++i) {
            var child = children[i]
            if (child.stepIndex !== undefined && child.stepIndex >= 0 && child.visible)
                cards.push(child)
        }
        cards.sort(function (a, b) { return a.stepIndex - b.stepIndex })
        return cards
    }
    function insertionAt(contentY) {
        var cards = visibleCards()
        if (cards.length === 0)
            return commands.length
        var k = Editor.insertionIndex(cards.map(function (c) { return c.y + c.height / 2 }), contentY)
        return k < cards.length ? cards[k].stepIndex : cards[cards.length - 1].stepIndex + 1
    }
    function dragStart(index, sceneY) {
        if (!canEdit || index < 1)
            return
        dragFromIndex = index
        dragToIndex = index
    }
    function dragMove(sceneY) {
        if (dragFromIndex < 0)
            return
        var local = list.mapFromItem(null, 0, sceneY).y
        autoScroll.direction = local < 40 ? -1 : (local > list.height - 40 ? 1 : 0)
        dragToIndex = insertionAt(list.contentItem.mapFromItem(null, 0, sceneY).y)
    }
    function dragEnd() {
        autoScroll.direction = 0
        var from = dragFromIndex
        var to = Editor.moveTarget(from, dragToIndex, commands.length)
        dragFromIndex = -1
        dragToIndex = -1
        if (to >= 0)
            moveStep(from, to)
    }

    Timer {
        id: autoScroll
        property int direction: 0
        interval: 16
        repeat: true
        running: direction !== 0 && page.dragFromIndex >= 0
        onTriggered: {
            var maxY = list.originY + Math.max(0, list.contentHeight - list.height)
            list.contentY = Math.max(list.originY, Math.min(maxY, list.contentY + direction * 8))
        }
    }

    // ---- Simulator -----------------------------------------------------------------

    function describe(command) {
        if (!command)
            return { type: "" }
        var type = command.type
        var step = { type: type, tip: command.tip, speed: command.speed }
        if (type === "aspirate" || type === "airgap" || type === "dispense" || type === "mix" || type === "repeat")
            step.volume = Editor.volumeOf(command.volumeWhole, command.volumeFractional)
        if (type === "aspirate" || type === "airgap" || type === "dispense")
            step.extraVolume = command.extraVolume
        if (type === "mix")
            step.cycles = command.cycles
        if (type === "repeat") {
            step.replicates = command.replicates
            step.dispenseVolume = command.dispenseVolume
        }
        if (type === "loop") {
            step.iterations = command.iterations
            step.inner = command.innerCommands.map(describe)
        }
        return step
    }

    function refreshSimulator() {
        var index = selectedStepIndex
        if (index < 0 || index >= commands.length) {
            simulator.caption = ""
            simulator.play([], 4)
            return
        }
        var steps = []
        var volumes = []
        for (var j = 0; j <= index; ++j) {
            steps.push(describe(commands[j]))
            var v = builder.getCvolAtIndex(j)
            volumes.push({ small: v.smallWhole + v.smallFractional / 10, large: v.largeWhole + v.largeFractional / 10 })
        }
        simulator.caption = "Step " + (index + 1) + " · " + Editor.stepLabel(steps[index].type)
        simulator.play(Sim.framesForStep(steps, volumes, index), Sim.speedForStep(steps[index]))
    }

    onSelectedStepIndexChanged: refreshSimulator()
    Connections {
        target: page.builder
        // Every change of the method ends in a new validation.
        function onValidationErrorsChanged() { simulatorRefresh.restart() }
        function onProtocolNameChanged() {
            if (page.builder.protocolName.trim().length === 0) {
                page.editingMeta = false
                nameForm.load("", "")
            }
        }
        function onCommandsChanged() {
            if (page.selectedStepIndex >= page.commands.length)
                page.selectedStepIndex = -1
        }
    }
    // Several signals of one change arrive together; replay the animation once.
    Timer {
        id: simulatorRefresh
        interval: 0
        onTriggered: page.refreshSimulator()
    }

    // A text field that has the focus keeps Ctrl+Z for its own text.
    Shortcut {
        sequences: [StandardKey.Undo]
        enabled: page.canEdit && page.visible
        onActivated: page.builder.undo()
    }
    Shortcut {
        sequences: ["Ctrl+Shift+Z", "Ctrl+Y"]
        enabled: page.canEdit && page.visible
        onActivated: page.builder.redo()
    }
    // Delete takes the selected step out; Undo brings it back.
    Shortcut {
        sequences: [StandardKey.Delete]
        enabled: page.canEdit && page.visible && page.selectedStepIndex >= 0
        onActivated: page.removeStep(page.selectedStepIndex)
    }
    Shortcut {
        sequence: "Ctrl+E"
        enabled: page.visible && !page.viewOnly && !page.deviceMode && editorHeader.exportEnabled
        onActivated: page.exportProtocol()
    }
    // Escape closes the name form, or leaves the editor as "← Back to Library" does. Open
    // dialogs take their own Escape first.
    Shortcut {
        sequence: "Escape"
        enabled: page.visible
        onActivated: {
            if (page.editingMeta)
                page.editingMeta = false
            else if (!page.formShown || page.viewOnly)
                page.requestBack()
        }
    }

    Component.onCompleted: {
        if (!setupDone)
            nameForm.load(builder.protocolName, builder.description)
    }

    // ---- Header --------------------------------------------------------------------

    header: EditorHeader {
        id: editorHeader
        page: page
    }

    // ---- Body ----------------------------------------------------------------------

    RowLayout {
        anchors.fill: parent
        anchors.margins: Theme.space4
        spacing: Theme.space4

        // Add Step column
        Card {
            Layout.preferredWidth: 184
            Layout.fillHeight: true

            ColumnLayout {
                anchors.fill: parent
                anchors.margins: Theme.space3
                spacing: 6

                SectionLabel { text: "ADD STEP"; Layout.leftMargin: 4; Layout.bottomMargin: 2 }

                Repeater {
                    model: Editor.StepTypes
                    delegate: AbstractButton {
                        id: addButton
                        objectName: "add_" + modelData.type
                        Layout.fillWidth: true
                        implicitHeight: 36
                        hoverEnabled: true
                        enabled: page.canEdit && (modelData.type !== "tipselect" || page.tipSelectAllowed)
                        onClicked: page.addStep(modelData.type)
                        ToolTip.visible: hovered && modelData.type === "tipselect" && !enabled && page.canEdit
                        ToolTip.text: "Empty the tip before changing tips"
                        ToolTip.delay: 400
                        background: Rectangle {
                            radius: Theme.radiusSmall
                            color: addButton.down ? Theme.sunken : (addButton.hovered && addButton.enabled ? Theme.surfaceAlt : "transparent")
                            border.width: addButton.hovered && addButton.enabled ? 1 : 0
                            border.color: Theme.border
                        }
                        contentItem: RowLayout {
                            spacing: 10
                            Rectangle {
                                Layout.leftMargin: 6
                                Layout.preferredWidth: 24
                                Layout.preferredHeight: 24
                                radius: 6
                                color: addButton.enabled ? Qt.rgba(0, 0, 0, 0) : "transparent"
                                border.width: 0
                                Rectangle {
                                    anchors.fill: parent
                                    radius: 6
                                    color: Theme.stepColor(modelData.type)
                                    opacity: addButton.enabled ? 0.14 : 0.06
                                }
                                Text {
                                    anchors.centerIn: parent
                                    text: Theme.stepGlyph(modelData.type)
                                    font.pixelSize: 13
                                    font.weight: Font.Bold
                                    color: addButton.enabled ? Theme.stepColor(modelData.type) : Theme.textFaint
                                }
                            }
                            Text {
                                Layout.fillWidth: true
                                text: modelData.label
                                font.family: Theme.fontFamily
                                font.pixelSize: Theme.fontBody
                                font.weight: Font.Medium
                                color: addButton.enabled ? Theme.text : Theme.textFaint
                            }
                        }
                    }
                }

                Text {
                    Layout.fillWidth: true
                    Layout.topMargin: 4
                    Layout.leftMargin: 4
                    text: page.selectedStepIndex >= 0 ? "Added after step " + (page.selectedStepIndex + 1)
                                                      : "Added at the end"
                    visible: page.canEdit
                    wrapMode: Text.Wrap
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontCaption
                    color: Theme.textMuted
                }

                Item { Layout.fillHeight: true }

                AppButton {
                    objectName: "clearAllSteps"
                    Layout.fillWidth: true
                    visible: !page.viewOnly
                    variant: "dangerGhost"
                    text: "Clear all steps"
                    enabled: page.canEdit && page.commands.length > 1
                    onClicked: clearDialog.open()
                }
            }
        }

        // Steps (or the name form)
        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true

            ColumnLayout {
                anchors.fill: parent
                spacing: Theme.space2
                visible: !page.formShown

                RowLayout {
                    Layout.fillWidth: true
                    Layout.leftMargin: 2
                    spacing: Theme.space2
                    SectionLabel { text: "STEPS" }
                    Text {
                        text: page.commands.length
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontCaption
                        font.weight: Font.DemiBold
                        color: Theme.textMuted
                    }
                    Item { Layout.fillWidth: true }
                    Text {
                        objectName: "problemSummary"
                        readonly property int count: page.builder.validationErrors.length
                        text: count === 0 ? "✓ No problems" : (count === 1 ? "⚠ 1 problem" : "⚠ " + count + " problems")
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSmall
                        font.weight: Font.DemiBold
                        color: count === 0 ? Theme.success : Theme.danger
                    }
                }

                ListView {
                    id: list
                    objectName: "stepList"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    clip: true
                    spacing: Theme.space2
                    model: page.commands
                    boundsBehavior: Flickable.StopAtBounds
                    interactive: page.dragFromIndex < 0
                    cacheBuffer: 400
                    rightMargin: 10
                    ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

                    delegate: StepCard {
                        width: list.width - list.rightMargin
                        command: modelData
                        stepIndex: index
                        selected: index === page.selectedStepIndex
                        editable: page.canEdit
                        dragging: index === page.dragFromIndex
                        errorIndex: page.errorIndex
                        onSelectRequested: page.selectStep(index)
                        onRemoveRequested: page.removeStep(index)
                        onFixRequested: page.applyFix(command, fixVolume)
                        onDragStarted: page.dragStart(index, sceneY)
                        onDragMoved: page.dragMove(sceneY)
                        onDragEnded: page.dragEnd()
                    }

                    footer: Item {
                        width: list.width - list.rightMargin
                        height: methodErrors.visible ? methodErrors.implicitHeight + Theme.space3 : 0
                        Column {
                            id: methodErrors
                            objectName: "methodErrors"
                            y: Theme.space3
                            width: parent.width
                            visible: page.errorIndex.method.length > 0
                            spacing: 4
                            Repeater {
                                model: page.errorIndex.method
                                delegate: Rectangle {
                                    width: methodErrors.width
                                    height: methodText.implicitHeight + 16
                                    radius: Theme.radiusSmall
                                    color: Theme.dangerSoft
                                    border.width: 1
                                    border.color: "#f2c4c4"
                                    Text {
                                        id: methodText
                                        objectName: "methodError"
                                        x: 12
                                        width: parent.width - 24
                                        anchors.verticalCenter: parent.verticalCenter
                                        text: "⚠  " + modelData.message
                                        wrapMode: Text.Wrap
                                        font.family: Theme.fontFamily
                                        font.pixelSize: Theme.fontSmall
                                        color: "#a32020"
                                    }
                                }
                            }
                        }
                    }

                    // Where a dragged step would land
                    Rectangle {
                        objectName: "dropIndicator"
                        parent: list.contentItem
                        visible: page.dragFromIndex >= 0 && Editor.moveTarget(page.dragFromIndex, page.dragToIndex,
                                                                                page.commands.length) >= 0
                        x: 0
                        width: list.width - list.rightMargin
                        height: 3
                        radius: 1.5
                        color: Theme.accent
                        z: 10
                        y: {
                            if (!visible)
                                return 0
                            var cards = page.visibleCards()
                            for (var i = 0; i < cards.length; ++i) {
                                if (cards[i].stepIndex === page.dragToIndex)
                                    return cards[i].y - list.spacing / 2 - 1.5
                            }
                            var last = cards.length > 0 ? cards[cards.length - 1] : null
                            return last ? last.y + last.height + list.spacing / 2 - 1.5 : 0
                        }
                    }
                }
            }

            EmptyState {
                objectName: "noSteps"
                anchors.centerIn: parent
                anchors.verticalCenterOffset: -40
                visible: !page.formShown && page.commands.length === 0
                glyph: "+"
                title: "No steps yet"
                message: page.viewOnly ? "This protocol has no steps."
                                       : "Start with a Tip Select from the Add Step column."
            }

            NameForm {
                id: nameForm
                anchors.horizontalCenter: parent.horizontalCenter
                y: Math.max(0, (parent.height - height) / 2 - 40)
                width: Math.min(parent.width - 32, 520)
                visible: page.formShown
                isNew: !page.setupDone
                protocolId: page.builder.currentProtocolId
                checkLibrary: !page.deviceMode
                onCommitted: page.commitMeta(name, description)
                onCancelled: page.editingMeta = false
            }
        }

        TipSimulatorView {
            id: simulator
            Layout.preferredWidth: 290
            Layout.fillHeight: true
        }
    }

    TransferToast {
        id: exportToast
        followsLinks: false
    }

    ConfirmDialog {
        id: clearDialog
        objectName: "clearStepsDialog"
        title: "Clear all steps?"
        message: "Every step of \"" + page.builder.protocolName + "\" is removed."
        detail: "The protocol starts again from a single Tip Select. Undo brings the steps back."
        confirmText: "Clear all"
        destructive: true
        onConfirmed: page.clearAllSteps()
    }
}
