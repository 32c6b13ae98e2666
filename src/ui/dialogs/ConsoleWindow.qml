import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import "../components"

// The engineers' console (manufacturing mode): every diagnostic line of the program with
// a filter, the USB instrument's own terminal (typed keys go straight to it), and while
// the editor is open, the method's SPL and CSV as the builder makes them. It exists for
// the whole run and is only shown or hidden.
Window {
    id: consoleWindow

    property bool editorOpen: false
    property bool autoScroll: true
    property string filterText: ""
    property int viewIndex: 0

    readonly property var log: typeof logManager !== "undefined" ? logManager : null
    readonly property var builder: typeof protocolBuilder !== "undefined" ? protocolBuilder : null
    readonly property var usb: typeof serialManager !== "undefined" ? serialManager : null
    readonly property var lines: {
        if (!visible || !log)
            return []
        var all = log.logMessages
        var needle = filterText.trim().toLowerCase()
        if (needle.length === 0)
            return all
        var result = []
        for (var i = 0; i < all.length; ++i) {
            if (all[i].toLowerCase().indexOf(needle) >= 0)
                result.push(all[i])
        }
        return result
    }

    function showAndRaise() {
        show()
        raise()
        requestActivate()
    }
    function lineColor(line) {
        if (line.indexOf("] CRITICAL:") > 0 || line.indexOf("] FATAL:") > 0)
            return "#ff7b7b"
        if (line.indexOf("] WARNING:") > 0)
            return "#f5b458"
        if (line.indexOf("] DEBUG:") > 0)
            return "#b8c2d0"
        if (line.charAt(0) === "─")
            return "#5b6676"
        return "#e6edf5"
    }

    objectName: "consoleWindow"
    title: "Nerra Console"
    width: 960
    height: 600
    minimumWidth: 640
    minimumHeight: 360
    color: "#151a21"
    visible: false

    onEditorOpenChanged: if (!editorOpen && viewIndex === 2) viewIndex = 0

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 52
            color: "#1d232c"

            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 12
                spacing: 10

                TabButtonBar {
                    tabs: [{ label: "Log" }, { label: "USB" }, { label: "Method", visible: consoleWindow.editorOpen }]
                    currentIndex: consoleWindow.viewIndex
                    onTabClicked: consoleWindow.viewIndex = index
                    tabHeight: 52
                }
                Item { Layout.preferredWidth: 8 }

                AppTextField {
                    id: filterField
                    objectName: "consoleFilter"
                    Layout.preferredWidth: 260
                    visible: consoleWindow.viewIndex === 0
                    placeholderText: "Filter lines…"
                    onTextChanged: consoleWindow.filterText = text
                }
                CheckBox {
                    id: scanBox
                    visible: consoleWindow.viewIndex === 0
                    text: "Scan"
                    checked: consoleWindow.log ? consoleWindow.log.showScan : false
                    onToggled: if (consoleWindow.log) consoleWindow.log.showScan = checked
                    palette.windowText: "#e6edf5"
                }
                CheckBox {
                    visible: consoleWindow.viewIndex === 0
                    text: "Monitor"
                    checked: consoleWindow.log ? consoleWindow.log.showMonitor : false
                    onToggled: if (consoleWindow.log) consoleWindow.log.showMonitor = checked
                    palette.windowText: "#e6edf5"
                }
                CheckBox {
                    visible: consoleWindow.viewIndex === 0
                    text: "Follow"
                    checked: consoleWindow.autoScroll
                    onToggled: consoleWindow.autoScroll = checked
                    palette.windowText: "#e6edf5"
                }
                Text {
                    visible: consoleWindow.viewIndex === 1
                    text: !consoleWindow.usb ? "No USB link"
                          : consoleWindow.usb.isConnected ? "Connected · " + consoleWindow.usb.portName
                          : "No instrument on USB"
                    color: "#8b96a6"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                }
                Item { Layout.fillWidth: true }
                AppButton {
                    visible: consoleWindow.viewIndex === 1
                    compact: true
                    text: "Clear"
                    onClicked: if (consoleWindow.usb) consoleWindow.usb.clearOutput()
                }
                Text {
                    visible: consoleWindow.viewIndex === 0
                    text: consoleWindow.lines.length + (consoleWindow.filterText.trim().length > 0 ? " matching" : " lines")
                    color: "#8b96a6"
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontSmall
                }
                AppButton {
                    visible: consoleWindow.viewIndex === 0
                    compact: true
                    text: "Add Break"
                    onClicked: if (consoleWindow.log) consoleWindow.log.addBreak()
                }
                AppButton {
                    visible: consoleWindow.viewIndex === 0
                    compact: true
                    text: "Clear"
                    onClicked: if (consoleWindow.log) consoleWindow.log.clearLogs()
                }
                AppButton {
                    visible: consoleWindow.viewIndex === 0
                    compact: true
                    text: "Export…"
                    onClicked: {
                        if (!consoleWindow.log || typeof fileDialogHelper === "undefined")
                            return
                        var path = fileDialogHelper.saveFile("Export Log", "nerra-log.txt",
                                                             "Text files (*.txt);;All files (*)", "txt")
                        if (path.length > 0)
                            consoleWindow.log.exportToFile(path)
                    }
                }
            }
        }

        ListView {
            id: logView
            objectName: "consoleLog"
            Layout.fillWidth: true
            Layout.fillHeight: true
            visible: consoleWindow.viewIndex === 0
            clip: true
            model: consoleWindow.lines
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
            onCountChanged: if (consoleWindow.autoScroll) Qt.callLater(positionViewAtEnd)
            delegate: Text {
                width: logView.width
                leftPadding: 12
                rightPadding: 12
                text: modelData
                color: consoleWindow.lineColor(modelData)
                font.family: Theme.monoFamily
                font.pixelSize: Theme.fontSmall
                wrapMode: Text.WrapAnywhere
                textFormat: Text.PlainText
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 12
            visible: consoleWindow.viewIndex === 1
            spacing: 8

            ScrollView {
                id: usbScroll
                Layout.fillWidth: true
                Layout.fillHeight: true
                clip: true
                TextArea {
                    id: usbOutput
                    objectName: "consoleUsbOutput"
                    readOnly: true
                    selectByMouse: true
                    // Read only while shown: the terminal grows with every byte.
                    text: consoleWindow.visible && consoleWindow.viewIndex === 1 && consoleWindow.usb
                          ? consoleWindow.usb.output : ""
                    onTextChanged: cursorPosition = length
                    color: "#e6edf5"
                    font.family: Theme.monoFamily
                    font.pixelSize: Theme.fontSmall
                    wrapMode: TextEdit.WrapAnywhere
                    textFormat: TextEdit.PlainText
                    background: Rectangle { color: "#1d232c"; radius: 6 }
                }
            }
            AppTextField {
                objectName: "consoleUsbInput"
                Layout.fillWidth: true
                placeholderText: "Type here: every key goes to the instrument as it is typed"
                enabled: consoleWindow.usb !== null && consoleWindow.usb.isConnected
                // Keys go out one by one, as in a terminal; the field only shows the current line.
                Keys.onPressed: {
                    if (!consoleWindow.usb)
                        return
                    if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
                        consoleWindow.usb.sendChar("\r")
                        text = ""
                        event.accepted = true
                    } else if (event.key === Qt.Key_Backspace) {
                        consoleWindow.usb.sendChar("\b")
                    } else if (event.text.length > 0) {
                        consoleWindow.usb.sendChar(event.text)
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 12
            visible: consoleWindow.viewIndex === 2
            spacing: 12

            Repeater {
                // Read only while shown: the previews change with every edit.
                readonly property bool shown: consoleWindow.visible && consoleWindow.viewIndex === 2
                                              && consoleWindow.builder !== null
                model: [
                    { title: "SPL", text: shown ? consoleWindow.builder.splPreview : "" },
                    { title: "DEVICE CSV", text: shown ? consoleWindow.builder.csvPreview : "" }
                ]
                delegate: ColumnLayout {
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    spacing: 6
                    Text {
                        text: modelData.title
                        color: "#8b96a6"
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontCaption
                        font.weight: Font.DemiBold
                        font.letterSpacing: 0.8
                    }
                    ScrollView {
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        clip: true
                        TextArea {
                            readOnly: true
                            selectByMouse: true
                            text: modelData.text
                            color: "#e6edf5"
                            font.family: Theme.monoFamily
                            font.pixelSize: Theme.fontSmall
                            background: Rectangle { color: "#1d232c"; radius: 6 }
                        }
                    }
                }
            }
        }
    }
}
