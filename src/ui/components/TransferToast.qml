import QtQuick 2.15
import "."
import "../js/Transfers.js" as Transfers

// The outcome of a method transfer over either link, shown for a moment at the bottom of
// the panel that hosts it.
Rectangle {
    id: toast

    property int successHoldMs: 2500
    property int failureHoldMs: 4500
    property bool success: true
    // Off where the toast only reports what its page does itself (an export).
    property bool followsLinks: true
    property string message: ""

    readonly property var bleLink: typeof bleManager !== "undefined" ? bleManager : null
    readonly property var usbLink: typeof serialManager !== "undefined" ? serialManager : null

    function show(ok, text) {
        success = ok
        message = text
        sequence.stop()
        sequence.start()
    }
    function showComplete() { show(true, Transfers.completeText()) }
    function showFailed(reason) { show(false, Transfers.failedText(reason)) }

    objectName: "transferToast"
    anchors.horizontalCenter: parent ? parent.horizontalCenter : undefined
    anchors.bottom: parent ? parent.bottom : undefined
    anchors.bottomMargin: Theme.space5
    z: 100
    width: Math.min(label.implicitWidth + 40, parent ? parent.width - 48 : 480)
    height: 40
    radius: 20
    color: success ? Theme.toastSuccess : Theme.toastFailure
    opacity: 0
    visible: opacity > 0

    Text {
        id: label
        anchors.fill: parent
        anchors.leftMargin: 20
        anchors.rightMargin: 20
        text: toast.message
        color: "#ffffff"
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontBody
        font.weight: Font.DemiBold
        verticalAlignment: Text.AlignVCenter
        horizontalAlignment: Text.AlignHCenter
        elide: Text.ElideRight
    }

    SequentialAnimation {
        id: sequence
        NumberAnimation { target: toast; property: "opacity"; to: 0.97; duration: 200 }
        PauseAnimation { duration: toast.success ? toast.successHoldMs : toast.failureHoldMs }
        NumberAnimation { target: toast; property: "opacity"; to: 0; duration: 400 }
    }

    Connections {
        target: toast.bleLink
        enabled: toast.followsLinks
        ignoreUnknownSignals: true
        function onTransferComplete() { toast.showComplete() }
        function onTransferFailed(reason) { toast.showFailed(reason) }
    }
    Connections {
        target: toast.usbLink
        enabled: toast.followsLinks
        ignoreUnknownSignals: true
        function onTransferComplete() { toast.showComplete() }
        function onTransferFailed(reason) { toast.showFailed(reason) }
    }
}
