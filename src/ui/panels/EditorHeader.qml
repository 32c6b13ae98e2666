import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"

// The method editor's header: back to the library, the name and description, undo and
// redo, the save state, export, and a device protocol's own actions.
Rectangle {
    id: bar

    // The editor page this header belongs to.
    property Item page
    readonly property alias deviceActions: deviceActions
    readonly property alias exportEnabled: exportButton.enabled
    property alias deviceDirty: deviceActions.deviceDirty
    property alias deviceSaveError: deviceActions.deviceSaveError
    property alias deviceSentHoldMs: deviceActions.deviceSentHoldMs

    height: 68
    color: Theme.surface
    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: Theme.border
    }

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.space3
        anchors.rightMargin: Theme.space5
        spacing: Theme.space3

        AppButton {
            objectName: "backToLibrary"
            text: "← Back to Library"
            variant: "ghost"
            onClicked: page.requestBack()
        }
        Rectangle { Layout.preferredWidth: 1; Layout.preferredHeight: 32; color: Theme.border }

        // Name and description; the name elides beside its pencil.
        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.leftMargin: Theme.space1

            Column {
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width
                spacing: 2
                Item {
                    width: parent.width
                    height: 28
                    Text {
                        id: titleText
                        objectName: "editorTitle"
                        width: Math.min(implicitWidth, parent.width - (editMeta.visible ? editMeta.width + 4 : 0))
                        anchors.verticalCenter: parent.verticalCenter
                        text: page.setupDone ? page.builder.protocolName : "Untitled"
                        elide: Text.ElideRight
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontTitle
                        font.weight: Font.DemiBold
                        color: page.setupDone ? Theme.text : Theme.textFaint
                        ToolTip.visible: titleMouse.containsMouse && truncated
                        ToolTip.text: text
                        MouseArea { id: titleMouse; anchors.fill: parent; hoverEnabled: true }
                    }
                    IconButton {
                        id: editMeta
                        objectName: "editMetaButton"
                        x: titleText.width + 4
                        anchors.verticalCenter: parent.verticalCenter
                        visible: !page.viewOnly && !page.formShown
                        glyph: "✎"
                        glyphSize: 15
                        size: 26
                        tip: "Edit name & description"
                        onClicked: page.openMetaForm()
                    }
                }
                Text {
                    width: parent.width
                    text: page.builder.description.length > 0 ? page.builder.description : "Add a description…"
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    color: page.builder.description.length > 0 ? Theme.textMuted : Theme.textFaint
                }
            }
        }

        // View mode
        Pill {
            visible: page.viewOnly
            text: "View Mode"
            tone: Theme.textSecondary
            fontSize: Theme.fontSmall
            implicitHeight: 24
        }
        AppButton {
            objectName: "leaveViewMode"
            visible: page.viewOnly
            text: "✏ Edit"
            variant: "primary"
            onClicked: page.viewOnly = false
        }

        // Editing
        IconButton {
            objectName: "undoButton"
            visible: page.canEdit
            enabled: page.builder.canUndo
            glyph: "↶"
            glyphSize: 18
            size: 32
            tip: "Undo (Ctrl+Z)"
            onClicked: page.builder.undo()
        }
        IconButton {
            objectName: "redoButton"
            visible: page.canEdit
            enabled: page.builder.canRedo
            glyph: "↷"
            glyphSize: 18
            size: 32
            tip: "Redo (Ctrl+Shift+Z)"
            onClicked: page.builder.redo()
        }
        Text {
            objectName: "saveState"
            visible: !page.viewOnly && (page.builder.isLibraryProtocol || page.deviceMode) && page.setupDone
            readonly property bool unsaved: page.deviceMode ? page.deviceDirty : page.builder.hasUnsavedChanges
            text: unsaved ? "Unsaved changes..." : "✓ Saved"
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            font.weight: Font.DemiBold
            color: unsaved ? Theme.warning : Theme.success
        }
        Item {
            visible: !page.viewOnly && !page.deviceMode
            implicitWidth: exportButton.implicitWidth
            implicitHeight: exportButton.implicitHeight
            AppButton {
                id: exportButton
                objectName: "exportProtocol"
                anchors.fill: parent
                text: "Export Protocol"
                enabled: !page.builder.hasErrors && page.setupDone
                onClicked: page.exportProtocol()
            }
            DisabledReason {
                target: exportButton
                text: page.setupDone ? "Fix the problems shown in the steps to export the protocol." : ""
            }
        }

        DeviceEditorActions {
            id: deviceActions
            visible: active
            builder: page.builder
            active: page.deviceMode && !page.viewOnly
            setupDone: page.setupDone
            onLeave: page.backToLibrary()
        }
    }
}
