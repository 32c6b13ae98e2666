import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Bootstrap.js" as Bootstrap

// A blank board being flashed, at the top of the device list, from detection to its end.
Rectangle {
    id: card

    // The flashing controller; the card shows nothing without one.
    property var boot: null

    readonly property string state_: boot ? boot.state : "idle"
    readonly property string badge: Bootstrap.badge(state_)
    readonly property string progressLabel: Bootstrap.progressLabel(state_)
    readonly property string hint: boot && state_ === "error" ? Bootstrap.hint(boot.errorMessage) : ""

    objectName: "newBoardCard"
    visible: boot !== null && Bootstrap.cardVisible(boot.isActive, state_)
    implicitHeight: content.implicitHeight + 2 * Theme.space3
    radius: Theme.radius
    color: Theme.surface
    border.width: 1
    border.color: badge === "failed" ? Theme.danger : (badge === "done" ? Theme.success : Theme.accentSoftBorder)

    ColumnLayout {
        id: content
        anchors.fill: parent
        anchors.margins: Theme.space3
        spacing: 6

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            Rectangle {
                objectName: "newBoardBadge"
                Layout.preferredWidth: 22
                Layout.preferredHeight: 22
                radius: 11
                color: card.badge === "done" ? Theme.success : (card.badge === "failed" ? Theme.danger : Theme.accent)
                Text {
                    anchors.centerIn: parent
                    text: card.badge === "done" ? "✓" : (card.badge === "failed" ? "✕" : "")
                    color: "white"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    font.weight: Font.Bold
                }
                SequentialAnimation on opacity {
                    running: card.visible && card.badge === "working"
                    loops: Animation.Infinite
                    alwaysRunToEnd: true
                    NumberAnimation { from: 1; to: 0.5; duration: 700 }
                    NumberAnimation { from: 0.5; to: 1; duration: 700 }
                }
            }
            Text {
                Layout.fillWidth: true
                text: "New Board"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                font.weight: Font.DemiBold
                color: Theme.text
            }
            AppButton {
                objectName: "newBoardRetry"
                visible: card.state_ === "error"
                compact: true
                text: "Retry"
                onClicked: {
                    // The link lets go of the port again before the run takes it.
                    serialManager.setBootstrapActive(true)
                    serialManager.disconnect()
                    card.boot.retry()
                }
            }
        }
        Text {
            objectName: "newBoardStatus"
            Layout.fillWidth: true
            text: card.boot ? card.boot.statusMessage : ""
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: card.badge === "failed" ? Theme.danger : Theme.textSecondary
        }
        Text {
            objectName: "newBoardHint"
            Layout.fillWidth: true
            visible: card.hint.length > 0
            text: card.hint
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: Theme.textMuted
        }
        RowLayout {
            Layout.fillWidth: true
            visible: card.progressLabel.length > 0
            spacing: Theme.space2
            Text {
                text: card.progressLabel
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontCaption
                color: Theme.textMuted
            }
            ProgressBar {
                objectName: "newBoardProgress"
                Layout.fillWidth: true
                from: 0
                to: 100
                value: card.boot ? card.boot.progress : 0
            }
        }
    }
}
