import QtQuick 2.15
import "."

// A hand pipette drawn in outline: plunger, grip, shaft and tip.
Canvas {
    id: icon

    property color tone: Theme.textMuted
    property real lineWidth: Math.max(1.2, width / 22)

    implicitWidth: 28
    implicitHeight: 28
    onToneChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()

    onPaint: {
        var ctx = getContext("2d")
        ctx.reset()
        var w = width
        var h = height
        var cx = w / 2
        ctx.strokeStyle = tone
        ctx.fillStyle = Qt.rgba(tone.r, tone.g, tone.b, 0.14)
        ctx.lineWidth = lineWidth
        ctx.lineJoin = "round"
        ctx.lineCap = "round"

        // Plunger
        ctx.beginPath()
        ctx.moveTo(cx, h * 0.04)
        ctx.lineTo(cx, h * 0.14)
        ctx.stroke()
        ctx.beginPath()
        ctx.moveTo(cx - w * 0.08, h * 0.04)
        ctx.lineTo(cx + w * 0.08, h * 0.04)
        ctx.stroke()

        // Grip
        var gw = w * 0.17
        ctx.beginPath()
        ctx.moveTo(cx - gw, h * 0.14)
        ctx.lineTo(cx + gw, h * 0.14)
        ctx.lineTo(cx + gw, h * 0.56)
        ctx.lineTo(cx + w * 0.09, h * 0.66)
        ctx.lineTo(cx - w * 0.09, h * 0.66)
        ctx.lineTo(cx - gw, h * 0.56)
        ctx.closePath()
        ctx.fill()
        ctx.stroke()

        // Tip
        ctx.beginPath()
        ctx.moveTo(cx - w * 0.06, h * 0.66)
        ctx.lineTo(cx - w * 0.015, h * 0.96)
        ctx.lineTo(cx + w * 0.015, h * 0.96)
        ctx.lineTo(cx + w * 0.06, h * 0.66)
        ctx.stroke()
    }
}
