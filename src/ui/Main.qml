import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.settings 1.1
import "components"
import "dialogs"
import "pages"
import "panels"

ApplicationWindow {
    id: mainWindow

    readonly property int preferredWidth: 1250
    readonly property int preferredHeight: 800
    // Position changes are only stored once the stored position has been applied, so the
    // window manager's first placement never overwrites it.
    property bool positionRestored: false

    // Navigation state
    property bool isNewProtocol: false
    property int editorReturnTabIndex: 1
    property int editorReturnDeviceTabIndex: 0

    // F12 presses counted towards the PIN dialog, and the window they must fall within.
    property int f12Count: 0
    property alias f12WindowMs: f12Timer.interval

    // Controllers that later builds add; until then the parts that use them stay hidden
    // or disabled.
    readonly property var bleLink: typeof bleManager !== "undefined" ? bleManager : null
    readonly property var updates: typeof updateManager !== "undefined" ? updateManager : null

    readonly property bool mfgMode: mfgManager.mfgMode
    readonly property Item currentPage: pageStack.currentItem
    readonly property bool editorOnTop: currentPage !== null && currentPage.objectName === "editorPage"
    readonly property bool settingsOnTop: currentPage !== null && currentPage.objectName === "settingsPage"

    title: "Nerra Desktop"
    visible: true
    // As large as the design wants, no larger than the screen, and down to what a 1024×768
    // screen leaves for it.
    width: Math.max(minimumWidth, Math.min(preferredWidth, screen.desktopAvailableWidth))
    height: Math.max(minimumHeight, Math.min(preferredHeight, screen.desktopAvailableHeight))
    minimumWidth: 1000
    minimumHeight: 700
    color: Theme.window
    font.family: Theme.fontFamily
    font.pixelSize: Theme.fontBody

    Settings {
        id: windowSettings
        category: "MainWindow"
        property int x: -1
        property int y: -1
        property int width: -1
        property int height: -1
    }

    // A stored place is used only when the window's title bar would land on a screen that
    // is there now: a monitor unplugged since must not leave the window out of reach.
    function onSomeScreen(x, y) {
        var screens = Qt.application.screens
        for (var i = 0; i < screens.length; ++i) {
            var s = screens[i]
            if (x >= s.virtualX && x + 100 <= s.virtualX + s.width && y >= s.virtualY && y + 40 <= s.virtualY + s.height)
                return true
        }
        return false
    }

    Component.onCompleted: {
        if (windowSettings.width >= minimumWidth && windowSettings.height >= minimumHeight) {
            width = Math.min(windowSettings.width, Math.max(minimumWidth, screen.desktopAvailableWidth))
            height = Math.min(windowSettings.height, Math.max(minimumHeight, screen.desktopAvailableHeight))
        }
        if (onSomeScreen(windowSettings.x, windowSettings.y)) {
            mainWindow.x = windowSettings.x
            mainWindow.y = windowSettings.y
        }
        positionRestored = true
    }
    onXChanged: if (positionRestored) windowSettings.x = x
    onYChanged: if (positionRestored) windowSettings.y = y
    onWidthChanged: if (positionRestored) windowSettings.width = width
    onHeightChanged: if (positionRestored) windowSettings.height = height
    // A value typed into a field and not yet confirmed is confirmed by closing: taking the
    // focus away ends its editing, and the method is saved with it.
    onClosing: {
        if (activeFocusItem)
            activeFocusItem.focus = false
    }

    // ---- Navigation --------------------------------------------------------------------

    function libraryPage() {
        var page = pageStack.find(function (item) { return item.objectName === "libraryPage" })
        return page ? page : null
    }

    function openEditor(viewOnly) {
        pageStack.replace(editorPageComponent, { viewOnly: viewOnly })
        consoleWindow.editorOpen = true
    }

    function rememberLibraryTabs() {
        var page = libraryPage()
        editorReturnTabIndex = page ? page.rightTabIndex : 1
        editorReturnDeviceTabIndex = page ? page.initialDeviceTabIndex : 0
    }

    function editProtocol(protocolId, viewOnly) {
        isNewProtocol = false
        rememberLibraryTabs()
        protocolBuilder.loadFromLibrary(protocolId)
        // Refused when the method still open has edits the library would not take; the
        // builder's error says so, and the editor must not show that method as this one.
        if (protocolBuilder.currentProtocolId !== protocolId)
            return
        openEditor(viewOnly)
    }

    function editDeviceProtocol(hardwareId, filename, viewOnly) {
        isNewProtocol = false
        editorReturnTabIndex = 0
        editorReturnDeviceTabIndex = 1
        var csv = filename.length > 0 ? deviceProtocolStore.csvData(hardwareId, filename) : ""
        protocolBuilder.loadFromDeviceProtocol(hardwareId, filename, csv)
        openEditor(viewOnly)
    }

    function createProtocol() {
        isNewProtocol = true
        editorReturnTabIndex = 1
        var id = protocolLibrary.createProtocol("")
        protocolBuilder.loadFromLibrary(id)
        openEditor(false)
    }

    function backToLibrary() {
        if (isNewProtocol && protocolBuilder.protocolName.trim().length === 0) {
            // The unnamed placeholder made by "+ New Protocol" is discarded, and the
            // builder lets go of it so that no pending auto-save writes to a removed entry.
            protocolLibrary.deleteProtocol(protocolBuilder.currentProtocolId)
            protocolBuilder.newProtocol()
        } else if (protocolBuilder.isLibraryProtocol && protocolBuilder.hasUnsavedChanges) {
            // The last edit is written now, not a second later: the library page may load
            // another method into the builder before the auto-save fires. When it cannot
            // be written (a full disk), the user stays with the edits; the builder's error
            // says why.
            if (!protocolBuilder.saveToLibrary())
                return
        }
        isNewProtocol = false
        pageStack.replace(libraryPageComponent, {
                              rightTabIndex: editorReturnTabIndex,
                              initialDeviceTabIndex: editorReturnDeviceTabIndex
                          })
        consoleWindow.editorOpen = false
    }

    function toggleSettings() {
        if (settingsOnTop)
            pageStack.pop()
        else
            pageStack.push(settingsPageComponent)
    }

    // ---- F12 and manufacturing mode ----------------------------------------------------

    function handleF12() {
        if (consoleWindow.visible) {
            consoleWindow.close()
            return
        }
        if (mfgManager.mfgMode) {
            consoleWindow.showAndRaise()
            return
        }
        f12Count += 1
        if (f12Count >= 3) {
            f12Count = 0
            f12Timer.stop()
            pinDialog.open()
            return
        }
        f12Timer.restart()
    }

    Timer {
        id: f12Timer
        interval: 1500
        onTriggered: mainWindow.f12Count = 0
    }

    Shortcut {
        sequence: "F12"
        context: Qt.ApplicationShortcut
        onActivated: mainWindow.handleF12()
    }

    // ---- Pages -------------------------------------------------------------------------

    Component {
        id: libraryPageComponent
        LibraryPage {
            onCreateProtocolRequested: mainWindow.createProtocol()
            onEditProtocolRequested: mainWindow.editProtocol(protocolId, false)
            onViewProtocolRequested: mainWindow.editProtocol(protocolId, true)
            onEditDeviceProtocolRequested: mainWindow.editDeviceProtocol(hardwareId, filename, false)
            onViewDeviceProtocolRequested: mainWindow.editDeviceProtocol(hardwareId, filename, true)
        }
    }
    Component {
        id: editorPageComponent
        EditorPage {
            onBackToLibrary: mainWindow.backToLibrary()
        }
    }
    Component {
        id: settingsPageComponent
        SettingsPage {
            onBackRequested: pageStack.pop()
        }
    }

    StackView {
        id: pageStack
        objectName: "pageStack"
        anchors.fill: parent
        initialItem: libraryPageComponent

        readonly property Transition fadeIn: Transition {
            NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 200 }
        }
        readonly property Transition fadeOut: Transition {
            NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 200 }
        }
        pushEnter: fadeIn
        pushExit: fadeOut
        popEnter: fadeIn
        popExit: fadeOut
        replaceEnter: fadeIn
        replaceExit: fadeOut
    }

    // ---- Footer ------------------------------------------------------------------------

    footer: Rectangle {
        objectName: "footerBar"
        height: 36
        color: Theme.surface

        Rectangle {
            anchors.top: parent.top
            width: parent.width
            height: 1
            color: Theme.border
        }

        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: Theme.space3
            anchors.rightMargin: Theme.space2
            spacing: Theme.space2

            AbstractButton {
                id: mfgBadge
                objectName: "mfgBadge"
                visible: mainWindow.mfgMode
                hoverEnabled: true
                implicitWidth: mfgText.implicitWidth + 18
                implicitHeight: 22
                onClicked: {
                    mfgManager.deactivate()
                    consoleWindow.close()
                }
                ToolTip.visible: hovered
                ToolTip.delay: 400
                ToolTip.text: "Leave Manufacturing Mode"
                background: Rectangle {
                    radius: 4
                    color: mfgBadge.hovered ? Theme.danger : Theme.warning
                }
                contentItem: Text {
                    id: mfgText
                    text: "MFG MODE"
                    color: "#ffffff"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontCaption
                    font.weight: Font.Bold
                    font.letterSpacing: 0.6
                    horizontalAlignment: Text.AlignHCenter
                    verticalAlignment: Text.AlignVCenter
                }
            }
            IconButton {
                objectName: "consoleToggle"
                visible: mainWindow.mfgMode
                glyph: ">_"
                glyphSize: 12
                size: 26
                tip: consoleWindow.visible ? "Hide console (F12)" : "Show console (F12)"
                tone: consoleWindow.visible ? Theme.accent : Theme.textMuted
                onClicked: consoleWindow.visible ? consoleWindow.close() : consoleWindow.showAndRaise()
            }

            Text {
                visible: !mainWindow.mfgMode
                text: "Nerra Desktop " + buildVersion
                color: Theme.textFaint
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
            }

            Item { Layout.fillWidth: true }

            Pill {
                objectName: "validityPill"
                visible: mainWindow.editorOnTop
                readonly property bool invalid: mainWindow.editorOnTop && protocolBuilder.hasErrors
                text: invalid ? "⚠ Invalid" : "✓ Valid"
                tone: invalid ? Theme.danger : Theme.success
                fontSize: Theme.fontSmall
                implicitHeight: 22
            }

            IconButton {
                id: gearButton
                objectName: "settingsButton"
                glyph: "⚙"
                glyphSize: 17
                tip: mainWindow.settingsOnTop ? "Close settings" : "Settings"
                tone: mainWindow.settingsOnTop ? Theme.accent : Theme.textMuted
                onClicked: mainWindow.toggleSettings()

                Rectangle {
                    objectName: "updateDot"
                    width: 8
                    height: 8
                    radius: 4
                    color: Theme.accent
                    border.width: 1
                    border.color: Theme.surface
                    anchors.top: parent.top
                    anchors.right: parent.right
                    anchors.topMargin: 3
                    anchors.rightMargin: 3
                    visible: mainWindow.updates !== null && mainWindow.updates.updateAvailable === true
                }
            }
        }
    }

    // ---- Application-wide dialogs and windows ------------------------------------------

    PinDialog { id: pinDialog }

    BootstrapFlow { id: bootstrapFlow; objectName: "bootstrapFlow" }

    // The builder's failures (saving, reading and writing files) are sentences for the user.
    MessageDialog {
        id: builderErrorDialog
        objectName: "builderErrorDialog"
        title: "Nerra Desktop"
    }
    Connections {
        target: protocolBuilder
        function onErrorOccurred(message) {
            builderErrorDialog.message = message
            builderErrorDialog.open()
        }
    }

    BluetoothOffDialog {
        id: bluetoothOffDialog
        link: mainWindow.bleLink
    }
    Connections {
        target: mainWindow.bleLink
        ignoreUnknownSignals: true
        function onHostBluetoothPoweredOffChanged() {
            if (mainWindow.bleLink.hostBluetoothPoweredOff)
                bluetoothOffDialog.open()
            else
                bluetoothOffDialog.close()
        }
    }

    ConsoleWindow { id: consoleWindow }
}
