import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Editor.js" as Editor

// The form of one step, by kind. It writes straight to the command's properties; the
// builder re-validates on every change.
Flow {
    id: fields

    property var command: null
    property bool editable: true
    property bool compact: false

    readonly property string type: command ? command.type : ""
    readonly property bool hasVolume: type === "aspirate" || type === "airgap" || type === "dispense" || type === "mix"
    readonly property bool hasExtra: type === "aspirate" || type === "airgap" || type === "dispense"
    readonly property bool hasSpeed: type !== "tipselect" && type !== "loop" && type !== ""

    function setVolume(value) {
        var parts = Editor.splitVolume(value)
        command.volumeWhole = parts.whole
        command.volumeFractional = parts.fractional
    }

    spacing: compact ? 12 : 18

    // Tip Select: the tip that the following steps use.
    Row {
        visible: fields.type === "tipselect"
        spacing: 0
        Repeater {
            model: [{ tip: "small", label: "Small tip", range: "1–200 µL" },
                    { tip: "large", label: "Large tip", range: "100–1000 µL" }]
            delegate: AbstractButton {
                id: tipButton
                objectName: "tip_" + modelData.tip
                readonly property bool current: fields.command && (modelData.tip === "small"
                                                                   ? fields.command.tip === "small"
                                                                   : fields.command.tip !== "small")
                width: Math.max(fields.compact ? 128 : 150, tipLabel.implicitWidth + 24)
                height: 28
                enabled: fields.editable
                hoverEnabled: true
                onClicked: if (fields.command) fields.command.tip = modelData.tip
                background: Rectangle {
                    radius: Theme.radiusSmall
                    color: tipButton.current ? (fields.editable ? Theme.accent : Theme.textFaint)
                                             : (tipButton.hovered && fields.editable ? Theme.accentSoft : Theme.surface)
                    border.width: tipButton.current ? 0 : 1
                    border.color: Theme.border
                    // Square off the inner edges so the two read as one control.
                    Rectangle {
                        width: parent.radius
                        height: parent.height
                        anchors.right: index === 0 ? parent.right : undefined
                        anchors.left: index === 1 ? parent.left : undefined
                        color: parent.color
                        border.width: 0
                    }
                }
                contentItem: Text {
                    id: tipLabel
                    text: modelData.label + "  ·  " + modelData.range
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                    font.weight: tipButton.current ? Font.DemiBold : Font.Normal
                    color: tipButton.current ? "#ffffff" : (fields.editable ? Theme.textSecondary : Theme.textFaint)
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
            }
        }
    }

    LabeledField {
        visible: fields.hasVolume
        slot: fields.compact ? 140 : 150
        label: "Volume"
        NumberField {
            objectName: "volumeField"
            enabled: fields.editable
            decimals: 1
            suffix: "µL"
            implicitWidth: 96
            value: fields.hasVolume ? Editor.volumeOf(fields.command.volumeWhole, fields.command.volumeFractional) : 0
            onCommitted: fields.setVolume(value)
        }
    }

    LabeledField {
        visible: fields.hasExtra
        slot: fields.compact ? 118 : 124
        label: "Extra"
        NumberField {
            objectName: "extraField"
            enabled: fields.editable
            suffix: "µL"
            implicitWidth: 70
            allowNegative: true
            value: fields.hasExtra ? fields.command.extraVolume : 0
            onCommitted: fields.command.extraVolume = value
        }
    }

    LabeledField {
        visible: fields.type === "mix"
        slot: fields.compact ? 118 : 124
        label: "Cycles"
        NumberField {
            objectName: "cyclesField"
            enabled: fields.editable
            implicitWidth: 56
            value: fields.type === "mix" ? fields.command.cycles : 0
            onCommitted: fields.command.cycles = value
        }
    }

    LabeledField {
        visible: fields.type === "repeat"
        slot: fields.compact ? 140 : 150
        label: "Dispense"
        NumberField {
            objectName: "dispenseField"
            enabled: fields.editable
            decimals: 1
            suffix: "µL"
            implicitWidth: 96
            value: fields.type === "repeat" ? fields.command.dispenseVolume : 0
            onCommitted: fields.command.dispenseVolume = value
        }
    }
    LabeledField {
        visible: fields.type === "repeat"
        slot: fields.compact ? 118 : 124
        label: "×"
        NumberField {
            objectName: "replicatesField"
            enabled: fields.editable
            implicitWidth: 52
            value: fields.type === "repeat" ? fields.command.replicates : 0
            onCommitted: fields.command.replicates = value
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: fields.type === "repeat"
                  ? "= " + Editor.formatVolume(Editor.volumeOf(fields.command.volumeWhole, fields.command.volumeFractional)) + " µL"
                  : ""
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: Theme.textMuted
        }
    }

    LabeledField {
        visible: fields.type === "loop"
        label: "Repeat the body"
        NumberField {
            objectName: "iterationsField"
            enabled: fields.editable
            implicitWidth: 52
            value: fields.type === "loop" ? fields.command.iterations : 0
            onCommitted: fields.command.iterations = value
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: "times"
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: Theme.textMuted
        }
    }

    Text {
        visible: fields.type === "purge"
        height: 28
        verticalAlignment: Text.AlignVCenter
        text: "Blows out everything left in the tip."
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontSmall
        color: Theme.textMuted
    }

    LabeledField {
        visible: fields.hasSpeed
        label: "Speed"
        SpeedSelector {
            anchors.verticalCenter: parent.verticalCenter
            enabled: fields.editable
            cell: fields.compact ? 20 : 22
            value: fields.hasSpeed ? fields.command.speed : 0
            onPicked: fields.command.speed = speed
        }
    }

    // A label and its control; `slot` widens it so that the fields of different kinds
    // line up in columns.
    component LabeledField: Row {
        property string label: ""
        property int slot: 0
        spacing: 6
        height: 28
        width: Math.max(slot, implicitWidth)
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: parent.label
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontSmall
            color: Theme.textMuted
        }
    }
}
