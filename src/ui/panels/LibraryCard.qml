import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Names.js" as Names

// One method of the library. The card as a whole takes no click: the icon and the name
// open the method read-only, "Edit" opens it for editing.
Card {
    id: card

    property string protocolId: ""
    property string name: ""
    property string description: ""
    property int commandCount: 0
    property var modified
    property bool hasErrors: false
    property bool expanded: false
    property string stepsText: ""
    property string transferState: ""   // "", "sending" or "sent"
    property bool canTransfer: false

    signal viewClicked()
    signal editClicked()
    signal transferClicked()
    signal stepsClicked()
    signal duplicateClicked()
    signal exportClicked()
    signal deleteClicked()

    objectName: "libraryCard"
    implicitHeight: header.height + 2 * Theme.space4 + (expanded ? stepsBlock.height + Theme.space3 : 0)
    border.color: nameArea.containsMouse || iconArea.containsMouse ? Theme.borderStrong : Theme.border

    // Plain positioning: the description wraps, and wrapped text inside layouts re-enters
    // its own height.
    Item {
        id: header
        x: Theme.space4
        y: Theme.space4
        width: parent.width - 2 * Theme.space4
        height: Math.max(icon.height, info.height, actions.height)

        Rectangle {
            id: icon
            width: 44
            height: 44
            radius: 10
            color: iconArea.containsMouse ? "#dce8fd" : Theme.accentSoft
            Text {
                anchors.centerIn: parent
                text: "⚗"
                font.family: Theme.fontFamily
                font.pixelSize: 22
                color: Theme.accent
            }
            MouseArea {
                id: iconArea
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: card.viewClicked()
            }
        }

        Column {
            id: info
            x: icon.width + Theme.space4
            width: parent.width - x - actions.width - Theme.space4
            spacing: 4

            // Name and validity: the name takes what the badge leaves and elides.
            Item {
                width: parent.width
                height: Math.max(nameText.implicitHeight, validity.implicitHeight)
                Text {
                    id: nameText
                    objectName: "cardName"
                    width: Math.min(implicitWidth, parent.width - validity.width - Theme.space2)
                    anchors.verticalCenter: parent.verticalCenter
                    text: card.name.length > 0 ? card.name : "Untitled"
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontLarge
                    font.weight: Font.DemiBold
                    font.underline: nameArea.containsMouse
                    color: card.name.length > 0 ? Theme.text : Theme.textFaint
                    MouseArea {
                        id: nameArea
                        anchors.fill: parent
                        hoverEnabled: true
                        cursorShape: Qt.PointingHandCursor
                        onClicked: card.viewClicked()
                    }
                    ToolTip.visible: nameArea.containsMouse && nameText.truncated
                    ToolTip.text: card.name
                    ToolTip.delay: 500
                }
                Pill {
                    id: validity
                    objectName: "validityBadge"
                    x: nameText.width + Theme.space2
                    anchors.verticalCenter: parent.verticalCenter
                    text: card.hasErrors ? "⚠ Invalid" : "✓ Valid"
                    tone: card.hasErrors ? Theme.danger : Theme.success
                }
            }

            Text {
                width: parent.width
                visible: card.description.length > 0
                text: card.description
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.textSecondary
                lineHeight: 1.15
            }

            Row {
                spacing: Theme.space2
                height: 22
                AbstractButton {
                    id: stepsLink
                    objectName: "stepsLink"
                    anchors.verticalCenter: parent.verticalCenter
                    hoverEnabled: true
                    implicitWidth: stepsLabel.implicitWidth
                    implicitHeight: stepsLabel.implicitHeight + 4
                    onClicked: card.stepsClicked()
                    contentItem: Text {
                        id: stepsLabel
                        text: (card.expanded ? "⌄ " : "› ") + Names.stepCountText(card.commandCount)
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSmall
                        font.weight: Font.DemiBold
                        font.underline: stepsLink.hovered
                        color: Theme.accent
                        verticalAlignment: Text.AlignVCenter
                    }
                    background: Item {}
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: "·"
                    color: Theme.textFaint
                    font.pixelSize: Theme.fontSmall
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Modified: " + Names.formatModified(card.modified)
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    color: Theme.textMuted
                }
            }
        }

        Row {
            id: actions
            anchors.right: parent.right
            spacing: Theme.space2
            Item {
                width: transferButton.width
                height: transferButton.height
                AppButton {
                    id: transferButton
                    objectName: "transferButton"
                    width: 96
                    compact: true
                    variant: "primary"
                    text: card.transferState === "sent" ? "✓ Sent"
                                                        : (card.transferState === "sending" ? "Sending..." : "Transfer")
                    enabled: card.transferState === "" && card.canTransfer && !card.hasErrors
                    onClicked: card.transferClicked()
                }
                DisabledReason {
                    target: transferButton
                    text: card.transferState !== "" ? ""
                        : (card.hasErrors ? "Fix the validation errors before transferring."
                                          : "Connect a pipette to transfer this protocol.")
                }
            }
            AppButton {
                objectName: "editButton"
                compact: true
                text: "Edit"
                onClicked: card.editClicked()
            }
            IconButton {
                id: moreButton
                objectName: "moreButton"
                glyph: "⋮"
                glyphSize: 18
                tip: "More actions"
                onClicked: menu.popup(moreButton, moreButton.width - menu.width, moreButton.height + 4)

                AppMenu {
                    id: menu
                    AppMenuItem { objectName: "menuDuplicate"; text: "Duplicate"; onTriggered: card.duplicateClicked() }
                    AppMenuItem { objectName: "menuExport"; text: "Export Protocol..."; onTriggered: Qt.callLater(card.exportClicked) }
                    MenuSeparator {
                        contentItem: Rectangle { implicitHeight: 1; color: Theme.divider }
                    }
                    AppMenuItem {
                        objectName: "menuDelete"
                        text: "Delete"
                        destructive: true
                        onTriggered: card.deleteClicked()
                    }
                }
            }
        }
    }

    Rectangle {
        id: stepsBlock
        objectName: "stepsBlock"
        x: header.x + icon.width + Theme.space4
        y: header.y + header.height + Theme.space3
        width: parent.width - x - Theme.space4
        height: Math.min(stepsContent.implicitHeight + 20, 240)
        visible: card.expanded
        radius: Theme.radiusSmall
        color: Theme.surfaceAlt
        border.width: 1
        border.color: Theme.divider

        Flickable {
            anchors.fill: parent
            anchors.margins: 10
            contentHeight: stepsContent.implicitHeight
            contentWidth: width
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}
            Text {
                id: stepsContent
                objectName: "stepsText"
                width: parent.width
                text: card.stepsText.length > 0 ? card.stepsText : "No steps yet."
                textFormat: Text.PlainText
                wrapMode: Text.WrapAnywhere
                font.family: Theme.monoFamily
                font.pixelSize: Theme.fontSmall
                color: card.stepsText.length > 0 ? Theme.textSecondary : Theme.textFaint
                lineHeight: 1.2
            }
        }
    }
}
