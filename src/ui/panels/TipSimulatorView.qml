import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/TipSimulator.js" as Sim
import "../js/Editor.js" as Editor

// Draws the pipette tip and animates what it holds through the frames of one step.
Card {
    id: view

    property string caption: ""
    property var frames: []
    property int frameIndex: -1
    property int frameMs: Sim.frameDuration(4)
    property real level: 0
    property var layers: []
    property real maxVolume: 200
    readonly property bool playing: holdTimer.running || levelAnimation.running
    readonly property bool hasTip: frames.length > 0

    // Plays a step's frames at the given pipette speed. An empty list stops and empties.
    function play(newFrames, speed) {
        holdTimer.stop()
        levelAnimation.stop()
        frames = newFrames || []
        frameMs = Sim.frameDuration(speed)
        frameIndex = frames.length > 0 ? 0 : -1
        if (frames.length === 0) {
            layers = []
            level = 0
            return
        }
        maxVolume = frames[0].maxVolume
        layers = frames[0].layers
        level = frames[0].volume
        holdTimer.interval = Sim.FirstFrameHoldMs
        holdTimer.start()
    }

    function advance() {
        if (frameIndex + 1 >= frames.length)
            return
        frameIndex += 1
        var frame = frames[frameIndex]
        // The bands change first; the level then moves to the frame's volume.
        maxVolume = frame.maxVolume
        layers = frame.layers
        levelAnimation.from = level
        levelAnimation.to = frame.volume
        levelAnimation.duration = frameMs
        levelAnimation.start()
    }

    objectName: "tipSimulator"
    onLevelChanged: canvas.requestPaint()
    onLayersChanged: canvas.requestPaint()
    onMaxVolumeChanged: canvas.requestPaint()

    Timer {
        id: holdTimer
        onTriggered: view.advance()
    }
    NumberAnimation {
        id: levelAnimation
        target: view
        property: "level"
        easing.type: Easing.OutCubic
        onFinished: view.advance()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: Theme.space4
        spacing: Theme.space2

        SectionLabel { text: "TIP SIMULATOR" }
        Text {
            Layout.fillWidth: true
            text: view.caption.length > 0 ? view.caption : "Select a step to see the tip"
            elide: Text.ElideRight
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontBody
            font.weight: view.caption.length > 0 ? Font.DemiBold : Font.Normal
            color: view.caption.length > 0 ? Theme.text : Theme.textMuted
        }

        Canvas {
            id: canvas
            Layout.fillWidth: true
            Layout.fillHeight: true
            renderStrategy: Canvas.Cooperative

            function tipColour(type) {
                return type === "air" ? Theme.air : Theme.liquid
            }

            onPaint: {
                var ctx = getContext("2d")
                ctx.reset()
                var geometry = Sim.coneGeometry(view.maxVolume)
                var collar = 22
                var top = 16 + collar
                var bottom = height - 14
                var scale = (bottom - top) / geometry.height
                var cx = width / 2
                function radius(h) { return Sim.radiusAt(geometry, h) * scale }
                function yAt(h) { return bottom - h * scale }
                function band(h0, h1, colour) {
                    if (h1 <= h0)
                        return
                    ctx.beginPath()
                    ctx.moveTo(cx - radius(h0), yAt(h0))
                    ctx.lineTo(cx + radius(h0), yAt(h0))
                    ctx.lineTo(cx + radius(h1), yAt(h1))
                    ctx.lineTo(cx - radius(h1), yAt(h1))
                    ctx.closePath()
                    ctx.fillStyle = colour
                    ctx.fill()
                }

                // The empty tip reads as clear plastic.
                band(0, geometry.height, "#f6f8fb")

                // Graduations at every quarter of the capacity
                ctx.font = "11px sans-serif"
                ctx.textAlign = "left"
                ctx.textBaseline = "middle"
                for (var q = 1; q <= 4; ++q) {
                    var v = view.maxVolume * q / 4
                    var gh = Sim.fillHeight(v, view.maxVolume)
                    var gy = yAt(gh)
                    ctx.strokeStyle = Theme.divider
                    ctx.lineWidth = 1
                    ctx.beginPath()
                    ctx.moveTo(cx + radius(gh) + 6, gy)
                    ctx.lineTo(cx + radius(geometry.height) + 14, gy)
                    ctx.stroke()
                    ctx.fillStyle = Theme.textFaint
                    ctx.fillText(Math.round(v) + " µL", cx + radius(geometry.height) + 18, gy)
                }

                // Contents, band by band from the opening upwards, cut off at the level
                var levelHeight = Sim.fillHeight(view.level, view.maxVolume)
                var below = 0
                var h0 = 0
                for (var i = 0; i < view.layers.length && h0 < levelHeight; ++i) {
                    below += view.layers[i].volume
                    var h1 = Math.min(Sim.fillHeight(below, view.maxVolume), levelHeight)
                    band(h0, h1, tipColour(view.layers[i].type))
                    h0 = h1
                }
                // A level above the listed bands is liquid (a mix or repeat stroke).
                band(h0, levelHeight, Theme.liquid)
                if (levelHeight > 0) {
                    ctx.strokeStyle = Theme.liquidDeep
                    ctx.lineWidth = 1.5
                    ctx.beginPath()
                    ctx.moveTo(cx - radius(levelHeight), yAt(levelHeight))
                    ctx.lineTo(cx + radius(levelHeight), yAt(levelHeight))
                    ctx.stroke()
                }

                // The tip's wall and its collar
                ctx.strokeStyle = Theme.tipWall
                ctx.lineWidth = 2
                ctx.lineJoin = "round"
                ctx.beginPath()
                ctx.moveTo(cx - radius(geometry.height), yAt(geometry.height))
                ctx.lineTo(cx - radius(0), yAt(0))
                ctx.lineTo(cx + radius(0), yAt(0))
                ctx.lineTo(cx + radius(geometry.height), yAt(geometry.height))
                ctx.stroke()
                var collarRadius = radius(geometry.height) + 5
                ctx.fillStyle = "#eef1f5"
                ctx.fillRect(cx - collarRadius, top - collar, 2 * collarRadius, collar)
                ctx.strokeRect(cx - collarRadius, top - collar, 2 * collarRadius, collar)
            }
        }

        // Read-out
        RowLayout {
            Layout.fillWidth: true
            spacing: 6
            Text {
                objectName: "simulatorVolume"
                text: view.hasTip ? Editor.formatVolume(Math.max(0, view.level)) + " µL" : "—"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
                color: view.hasTip ? Theme.text : Theme.textFaint
            }
            Text {
                Layout.fillWidth: true
                text: view.hasTip ? "of " + Math.round(view.maxVolume) + " µL · " + (view.maxVolume <= 200 ? "small tip" : "large tip")
                                  : "no step selected"
                elide: Text.ElideRight
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textMuted
            }
        }
        Row {
            spacing: Theme.space4
            Repeater {
                model: [{ label: "Liquid", colour: Theme.liquid }, { label: "Air", colour: Theme.air }]
                delegate: Row {
                    spacing: 6
                    Rectangle {
                        width: 12
                        height: 12
                        radius: 3
                        color: modelData.colour
                        border.width: 1
                        border.color: Qt.darker(modelData.colour, 1.15)
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Text {
                        text: modelData.label
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSmall
                        color: Theme.textMuted
                    }
                }
            }
        }
    }
}
