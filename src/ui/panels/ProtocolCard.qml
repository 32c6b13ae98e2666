import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/DeviceProtocols.js" as DeviceProtocols

// One protocol of the instrument, as the device protocols panel knows it. `info` is the
// card state of DeviceProtocols.card().
Card {
    id: card

    property var info: ({})
    property bool connected: false
    // The panel's own list, fetch or transfer is under way: the device takes one command at a time.
    property bool linkBusy: false
    property bool expanded: false

    readonly property var badge: DeviceProtocols.badge(info)
    readonly property bool showTransfer: DeviceProtocols.transferShown(info) === true

    signal viewClicked()
    signal editClicked()
    signal transferClicked()
    signal discardClicked()
    signal deleteClicked()
    signal duplicateClicked()
    signal exportClicked()
    signal copyToLibraryClicked()
    signal stepsClicked()

    objectName: "protocolCard"
    implicitHeight: header.height + 2 * Theme.space3 + (expanded ? stepsBlock.height + Theme.space3 : 0)

    function tone(name) {
        switch (name) {
        case "danger": return Theme.danger
        case "warning": return Theme.warning
        case "accent": return Theme.accent
        case "success": return Theme.success
        }
        return Theme.textMuted
    }

    Item {
        id: header
        x: Theme.space4
        y: Theme.space3
        width: parent.width - 2 * Theme.space4
        height: Math.max(icon.height, infoColumn.height, actions.height)

        Rectangle {
            id: icon
            width: 36
            height: 36
            radius: 8
            anchors.verticalCenter: parent.verticalCenter
            color: iconArea.containsMouse ? "#dce8fd" : Theme.accentSoft
            Text {
                anchors.centerIn: parent
                text: "☰"
                font.family: Theme.fontFamily
                font.pixelSize: 17
                color: Theme.accent
            }
            MouseArea {
                id: iconArea
                anchors.fill: parent
                hoverEnabled: true
                enabled: card.info.hasData === true
                cursorShape: Qt.PointingHandCursor
                onClicked: card.viewClicked()
            }
        }

        Column {
            id: infoColumn
            x: icon.width + Theme.space3
            anchors.verticalCenter: parent.verticalCenter
            width: parent.width - x - actions.width - Theme.space3
            spacing: 3

            Item {
                width: parent.width
                height: Math.max(nameText.implicitHeight, badgePill.implicitHeight)
                Text {
                    id: nameText
                    objectName: "protocolCardName"
                    width: Math.min(implicitWidth, parent.width - badgePill.width - Theme.space2)
                    anchors.verticalCenter: parent.verticalCenter
                    text: card.info.displayName || ""
                    elide: Text.ElideRight
                    maximumLineCount: 1
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontLarge - 1
                    font.weight: Font.DemiBold
                    font.underline: nameArea.containsMouse
                    color: Theme.text
                    MouseArea {
                        id: nameArea
                        anchors.fill: parent
                        hoverEnabled: true
                        enabled: card.info.hasData === true
                        cursorShape: Qt.PointingHandCursor
                        onClicked: card.viewClicked()
                    }
                }
                Pill {
                    id: badgePill
                    objectName: "protocolBadge"
                    x: nameText.width + Theme.space2
                    anchors.verticalCenter: parent.verticalCenter
                    text: card.badge.label
                    tone: card.tone(card.badge.tone)
                    ToolTip.visible: badgeArea.containsMouse
                    ToolTip.text: card.badge.tooltip
                    ToolTip.delay: 300
                    MouseArea {
                        id: badgeArea
                        anchors.fill: parent
                        hoverEnabled: true
                        acceptedButtons: Qt.NoButton
                    }
                }
            }

            Row {
                spacing: Theme.space2
                height: 20
                AbstractButton {
                    id: stepsLink
                    objectName: "protocolSteps"
                    anchors.verticalCenter: parent.verticalCenter
                    hoverEnabled: true
                    enabled: card.info.stepCount >= 0
                    implicitWidth: stepsLabel.implicitWidth
                    implicitHeight: stepsLabel.implicitHeight + 4
                    onClicked: card.stepsClicked()
                    contentItem: Text {
                        id: stepsLabel
                        text: card.info.isFetching ? "Fetching…"
                              : (card.info.stepCount >= 0
                                 ? (card.expanded ? "⌄ " : "› ") + card.info.stepCount
                                   + (card.info.stepCount === 1 ? " step" : " steps")
                                 : "No local copy")
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSmall
                        font.weight: Font.DemiBold
                        font.underline: stepsLink.hovered && stepsLink.enabled
                        color: stepsLink.enabled ? Theme.accent : Theme.textMuted
                        verticalAlignment: Text.AlignVCenter
                    }
                    background: Item {}
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    visible: card.info.hasErrors === true
                    text: "·  ⚠ Invalid"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    color: Theme.danger
                }
            }
        }

        Row {
            id: actions
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            spacing: Theme.space2
            Item {
                visible: card.showTransfer
                width: protocolTransfer.width
                height: protocolTransfer.height
                AppButton {
                    id: protocolTransfer
                    objectName: "protocolTransfer"
                    width: 96
                    compact: true
                    variant: "primary"
                    text: DeviceProtocols.transferText(card.info)
                    enabled: DeviceProtocols.transferEnabled(card.info, card.connected)
                    onClicked: card.transferClicked()
                }
                DisabledReason {
                    target: protocolTransfer
                    text: card.info.hasErrors === true ? "Fix the validation errors before transferring." : ""
                }
            }
            AppButton {
                objectName: "protocolDiscard"
                visible: card.info.isOrphaned === true
                compact: true
                variant: "dangerGhost"
                text: "Discard"
                onClicked: card.discardClicked()
            }
            AppButton {
                objectName: "protocolEdit"
                compact: true
                text: "Edit"
                enabled: DeviceProtocols.editEnabled(card.info)
                onClicked: card.editClicked()
            }
            IconButton {
                id: moreButton
                objectName: "protocolMore"
                glyph: "⋮"
                glyphSize: 18
                tip: "More actions"
                onClicked: menu.popup(moreButton, moreButton.width - menu.width, moreButton.height + 4)

                AppMenu {
                    id: menu
                    AppMenuItem {
                        objectName: "menuDuplicate"
                        text: "Duplicate…"
                        enabled: card.info.hasData === true
                        onTriggered: card.duplicateClicked()
                    }
                    AppMenuItem {
                        objectName: "menuExport"
                        text: "Export to File…"
                        enabled: card.info.hasData === true
                        // After the menu has closed: the file dialog must not open over it.
                        onTriggered: Qt.callLater(card.exportClicked)
                    }
                    AppMenuItem {
                        objectName: "menuCopyToLibrary"
                        text: "Copy to Library…"
                        enabled: card.info.hasData === true
                        onTriggered: card.copyToLibraryClicked()
                    }
                    MenuSeparator {
                        contentItem: Rectangle { implicitHeight: 1; color: Theme.divider }
                    }
                    AppMenuItem {
                        objectName: card.info.isOrphaned ? "menuDiscardLocal" : "menuDeleteFromDevice"
                        text: card.info.isOrphaned ? "Discard" : "Delete from Device"
                        destructive: true
                        enabled: card.info.isOrphaned || (card.connected && !card.linkBusy)
                        onTriggered: card.info.isOrphaned ? card.discardClicked() : card.deleteClicked()
                    }
                }
            }
        }
    }

    Rectangle {
        id: stepsBlock
        objectName: "protocolStepsBlock"
        x: header.x + icon.width + Theme.space3
        y: header.y + header.height + Theme.space3
        width: parent.width - x - Theme.space4
        height: Math.min(stepsContent.implicitHeight + 20, 220)
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
                width: parent.width
                text: card.info.splPreview && card.info.splPreview.length > 0 ? card.info.splPreview : "No steps."
                textFormat: Text.PlainText
                wrapMode: Text.WrapAnywhere
                font.family: Theme.monoFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textSecondary
                lineHeight: 1.2
            }
        }
    }
}
