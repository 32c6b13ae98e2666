import QtQuick 2.15
import "../js/Bootstrap.js" as Bootstrap

// Hands a blank board's port to the flashing controller, gives the link its port back
// afterwards and names the freshly flashed board. It lives as long as the window, so a
// run never outlives the code that ends it, whatever page is shown meanwhile.
Item {
    id: flow

    readonly property var boot: typeof bootstrapManager !== "undefined" ? bootstrapManager : null
    property string pendingBootstrapName: ""
    property var bootstrapNameDeck: []
    property string nameToWrite: ""

    Connections {
        target: serialManager
        function onBlankBoardDetected(portName) {
            if (flow.boot === null)
                return
            serialManager.setBootstrapActive(true)
            serialManager.disconnect()
            flow.boot.startBootstrap(portName)
        }
        function onUsbDeviceInfoChanged() {
            var name = Bootstrap.nameToGive(flow.pendingBootstrapName, serialManager.usbDeviceName)
            if (name.length === 0)
                return
            flow.pendingBootstrapName = ""
            flow.nameToWrite = name
            namingTimer.restart()
        }
    }
    Connections {
        target: flow.boot
        ignoreUnknownSignals: true
        // A new run (detected or retried): a name still waiting belongs to a board that
        // never reported in and must not go to whichever instrument comes next, and the
        // last run's hand-back of the port must not fire in the middle of this one.
        function onStateChanged() {
            if (flow.boot.state !== "detecting")
                return
            flow.pendingBootstrapName = ""
            reactivationTimer.stop()
        }
        function onFinished(success, errorMessage) {
            if (success) {
                var next = Bootstrap.takeName(flow.bootstrapNameDeck, Bootstrap.nerraNames, Math.random)
                flow.bootstrapNameDeck = next.deck
                flow.pendingBootstrapName = next.name
            }
            // The flashed board re-enumerates before the link may take its port again.
            reactivationTimer.restart()
        }
    }
    Timer {
        id: namingTimer
        interval: 300   // the instrument finishes its identity session first
        onTriggered: {
            if (serialManager.isConnected)
                serialManager.setPref("name", flow.nameToWrite)
        }
    }
    Timer {
        id: reactivationTimer
        interval: 3000
        onTriggered: serialManager.setBootstrapActive(false)
    }
}
