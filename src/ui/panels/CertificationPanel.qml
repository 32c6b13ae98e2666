import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Calibration.js" as Calibration
import "../js/Gravimetry.js" as Gravimetry
import "../js/Certification.js" as Certification

// Certifying one instrument: the balance export of its gravimetric test, the conditions
// of the test, the per-volume verdicts, the printed certificate, and the record stored on
// the instrument with its source workbook. The numbers come from certificationManager,
// the rules from Certification.js; certificates travel over USB only.
Flickable {
    id: panel

    property string connectionType: ""
    property bool isConnected: false
    property string serialNumber: ""

    property var result: null
    property bool loadedFromDevice: false
    property string deviceStatus: ""
    property bool certDateEditing: false
    property bool confirmingDelete: false
    property string lastKnownSerial: ""
    property int detailTab: 0
    property var form: ({ date: today(), technician: "", humidity: "", waterTemperature: "", airTemperature: "",
                          pressure: "" })
    // The instrument operation waiting for its answer: "", "save", "load", "download", "delete".
    property string pending: ""
    property int loadAttempts: 0

    readonly property var usbLink: typeof serialManager !== "undefined" ? serialManager : null
    readonly property bool overUsb: connectionType === "usb"
    readonly property bool usbReady: overUsb && isConnected && usbLink !== null
    readonly property bool transferring: usbLink !== null && usbLink.isTransferring
    readonly property bool deviceHasCert: usbReady && usbLink.usbHasCert
    readonly property real zFactor: Certification.zOf(form)
    readonly property var rules: ({ result: result, loadedFromDevice: loadedFromDevice, serialNumber: serialNumber,
                                    technician: form.technician, env: form, usb: overUsb, connected: isConnected,
                                    transferring: transferring })
    readonly property bool hasResult: Certification.hasResult(result)
    readonly property bool mismatch: Certification.serialMismatch(rules)

    function today() { return Qt.formatDate(new Date(), "yyyy-MM-dd") }
    function setField(key, text) {
        var next = Object.assign({}, form)
        next[key] = text
        form = next
    }
    function setStatus(text) {
        deviceStatus = text
        if (text.length > 0 && Certification.lastingStatuses.indexOf(text) < 0)
            statusTimer.restart()
    }
    // Back to an empty form for the next workbook or instrument; the technician stays.
    function reset() {
        result = null
        loadedFromDevice = false
        confirmingDelete = false
        certDateEditing = false
        form = { date: today(), technician: form.technician, humidity: "", waterTemperature: "", airTemperature: "",
                 pressure: "" }
        setStatus("")
        if (typeof certificationManager !== "undefined")
            certificationManager.clear()
    }

    function importWorkbook() {
        var path = fileDialogHelper.openFile("Import Sartorius Data", "Excel files (*.xlsx);;All files (*)")
        if (!path)
            return
        loadedFromDevice = false
        certDateEditing = false
        confirmingDelete = false
        setStatus("")
        form = { date: today(), technician: form.technician, humidity: "", waterTemperature: "", airTemperature: "",
                 pressure: "" }
        result = certificationManager.importFile(path)
    }
    function recompute() {
        if (loadedFromDevice || !hasResult || isNaN(zFactor))
            return
        var next = certificationManager.recompute(zFactor)
        if (next && next.ok === true)
            result = next
    }
    function generate() {
        var data = Certification.printData(result, Object.assign({ serialNumber: serialNumber }, form))
        certificationPdf.generate(data)
    }
    function saveToDevice() {
        var record = certificationManager.buildRecordJson(serialNumber, form.date, form.technician,
                                                          Certification.number(form.humidity),
                                                          Certification.number(form.waterTemperature),
                                                          Certification.number(form.airTemperature),
                                                          Certification.number(form.pressure))
        pending = "save"
        setStatus("Saving…")
        usbLink.putCertificate(record, certificationManager.lastXlsxBase64())
    }
    function load() {
        if (!visible || !deviceHasCert || result !== null || pending !== "")
            return
        pending = "load"
        loadAttempts = 0
        usbLink.getCertificate()
    }
    function download() {
        pending = "download"
        setStatus("Downloading…")
        usbLink.getCertificateFile()
    }
    function deleteClicked() {
        if (!confirmingDelete) {
            confirmingDelete = true
            disarm.restart()
            return
        }
        confirmingDelete = false
        if (!usbReady || transferring)
            return
        pending = "delete"
        setStatus("Deleting…")
        usbLink.deleteCertificate()
    }
    // An operation the link refused or ended without its answer.
    function operationFailed(message) {
        if (pending === "load" && message === "getCertificate: protocol busy" && loadAttempts < 5) {
            // The link is still busy with the instrument's own handshake: ask again shortly.
            ++loadAttempts
            loadRetry.restart()
            return
        }
        if (pending === "save")
            setStatus("Save failed")
        else if (pending === "download")
            setStatus("Download failed")
        if (pending !== "")
            pending = ""
    }

    onZFactorChanged: recompute()
    onVisibleChanged: load()
    onDeviceHasCertChanged: load()
    onSerialNumberChanged: {
        // Unplugging empties the serial number and changes nothing: the same instrument
        // plugged in again finds its panel as it was.
        if (serialNumber.length === 0 || serialNumber === lastKnownSerial)
            return
        lastKnownSerial = serialNumber
        reset()
        load()
    }
    onIsConnectedChanged: if (!isConnected && pending !== "") operationFailed("")
    Component.onCompleted: lastKnownSerial = serialNumber

    Connections {
        target: panel.usbLink
        ignoreUnknownSignals: true
        function onCertificateSaved(success) {
            if (panel.pending !== "save")
                return
            panel.pending = ""
            panel.setStatus(success ? "Saved to device ✓" : "Save failed")
        }
        function onCertificateReceived(recordJson) {
            if (panel.pending !== "load")
                return
            panel.pending = ""
            if (recordJson.length === 0) {
                panel.setStatus("No certificate on device")
                return
            }
            var loaded = certificationManager.recordToResult(recordJson)
            if (loaded.ok !== true)
                return
            panel.result = loaded
            panel.loadedFromDevice = true
            panel.form = Certification.recordForm(loaded)
            panel.setStatus("Loaded from device")
        }
        function onCertificateFileReceived(ok) {
            if (panel.pending !== "download")
                return
            panel.pending = ""
            if (!ok) {
                panel.setStatus("No source data on device")
                return
            }
            panel.setStatus("")
            var suggested = panel.result && panel.result.fileName ? panel.result.fileName : "source.xlsx"
            var path = fileDialogHelper.saveFile("Save Source Data", suggested, "Excel files (*.xlsx)", "xlsx",
                                                 fileDialogHelper.downloadsDir())
            if (path && panel.usbLink.saveLastCertFile(path))
                panel.setStatus("Source data saved")
        }
        function onCertificateDeleted() {
            if (panel.pending !== "delete")
                return
            panel.pending = ""
            panel.reset()
            panel.setStatus("Certificate deleted")
        }
        function onErrorOccurred(message) {
            panel.operationFailed(message)
        }
    }
    Timer { id: statusTimer; interval: 3000; onTriggered: panel.deviceStatus = "" }
    Timer { id: disarm; interval: 4000; onTriggered: panel.confirmingDelete = false }
    Timer {
        id: loadRetry
        interval: 700
        onTriggered: {
            if (panel.pending === "load" && panel.usbReady)
                panel.usbLink.getCertificate()
            else if (panel.pending === "load")
                panel.pending = ""
        }
    }

    contentHeight: column.implicitHeight + 2 * Theme.space5
    clip: true
    boundsBehavior: Flickable.StopAtBounds

    ColumnLayout {
        id: column
        x: Theme.space5
        y: Theme.space5
        width: Math.min(panel.width - 2 * Theme.space5, 900)
        spacing: Theme.space4

        // ---- The workbook
        SectionCard {
            Layout.fillWidth: true
            title: "QA CERTIFICATION"
            RowLayout {
                width: parent.width
                spacing: Theme.space3
                AppButton {
                    objectName: "importWorkbook"
                    text: panel.result ? "Re-import" : "Import Sartorius Data…"
                    variant: panel.result ? "secondary" : "primary"
                    onClicked: panel.importWorkbook()
                }
                Text {
                    objectName: "workbookName"
                    Layout.fillWidth: true
                    elide: Text.ElideMiddle
                    text: panel.loadedFromDevice ? "Certificate stored on the device"
                                                 : (panel.hasResult ? panel.result.fileName : "No workbook imported")
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontBody
                    color: Theme.textSecondary
                }
                Pill {
                    objectName: "verdict"
                    visible: panel.hasResult
                    text: panel.hasResult && panel.result.overallPass ? "PASS" : "FAIL"
                    tone: panel.hasResult && panel.result.overallPass ? Theme.success : Theme.danger
                    fontSize: Theme.fontSmall
                }
            }
            Text {
                objectName: "importError"
                width: parent.width
                visible: panel.result !== null && panel.result.ok === false
                text: visible ? "⚠ " + panel.result.error : ""
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.danger
            }
            Rectangle {
                objectName: "mismatchBanner"
                width: parent.width
                visible: panel.mismatch
                implicitHeight: mismatchRow.implicitHeight + 2 * Theme.space2
                radius: Theme.radiusSmall
                color: Theme.warningSoft
                RowLayout {
                    id: mismatchRow
                    anchors.fill: parent
                    anchors.margins: Theme.space2
                    Text {
                        Layout.fillWidth: true
                        text: "⚠ Serial number mismatch"
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontBody
                        font.weight: Font.DemiBold
                        color: Theme.warningHover
                    }
                    AppButton { objectName: "discardFile"; text: "Discard File"; compact: true; onClicked: panel.reset() }
                }
            }
            Text {
                objectName: "dataIssues"
                width: parent.width
                visible: panel.hasResult && panel.result.valid !== true
                text: visible ? "⚠ Data does not match the expected format:\n"
                                + (panel.result.warnings || []).map(function (w) { return "  • " + w }).join("\n") : ""
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.danger
            }
        }

        // ---- Results per volume
        SectionCard {
            Layout.fillWidth: true
            title: "VOLUME ACCURACY AND REPRODUCIBILITY"
            visible: panel.hasResult
            TabButtonBar {
                objectName: "certDetailTabs"
                tabs: [{ label: "Results" }, { label: "Details" }]
                currentIndex: panel.detailTab
                tabHeight: 32
                onTabClicked: panel.detailTab = index
            }
            GridLayout {
                objectName: "resultsTable"
                visible: panel.detailTab === 0
                columns: 5
                columnSpacing: Theme.space4
                rowSpacing: 6
                Repeater {
                    model: ["Volume", "Tip", "Systematic error", "Random error", "Result"]
                    delegate: FieldLabel { text: modelData; font.pixelSize: Theme.fontSmall }
                }
                Repeater {
                    model: panel.hasResult ? panel.result.results.length * 5 : 0
                    delegate: Text {
                        readonly property var row: panel.result.results[Math.floor(index / 5)]
                        readonly property int column: index % 5
                        objectName: "result_" + Math.floor(index / 5) + "_" + column
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontBody
                        font.weight: column === 4 ? Font.DemiBold : Font.Normal
                        color: column === 2 ? (row.systematicPass ? Theme.success : Theme.danger)
                             : column === 3 ? (row.randomPass ? Theme.success : Theme.danger)
                             : column === 4 ? (row.pass ? Theme.success : Theme.danger) : Theme.text
                        text: [row.cp + " µL", row.tipMode,
                               Certification.percent(row.systematicPct) + "  (" + Certification.spec(row.systematicSpec) + ")",
                               Certification.percent(row.randomPct) + "  (" + Certification.spec(row.randomSpec) + ")",
                               row.pass ? "Pass" : "Fail"][column]
                    }
                }
            }
            Column {
                objectName: "detailsList"
                visible: panel.detailTab === 1
                spacing: Theme.space2
                Repeater {
                    model: panel.hasResult ? panel.result.results : []
                    delegate: Text {
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontSmall
                        color: Theme.textSecondary
                        text: "<b>" + modelData.cp + " µL</b> — Weight Average  " + Certification.weight(modelData.averageWeight)
                              + "  ·  Weight Standard Deviation  " + Certification.weight(modelData.stdDevWeight)
                              + "<br>" + (modelData.weights || []).map(function (w) { return Number(w).toFixed(4) }).join("  ")
                    }
                }
            }
        }

        // ---- The test's conditions and who did it
        SectionCard {
            Layout.fillWidth: true
            title: "CERTIFICATE DETAILS"
            GridLayout {
                width: parent.width
                columns: 3
                columnSpacing: Theme.space3
                rowSpacing: Theme.space2
                ColumnLayout {
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    spacing: 4
                    Row {
                        spacing: Theme.space2
                        FieldLabel { text: "Date" }
                        Text {
                            objectName: "editDate"
                            visible: !panel.certDateEditing
                            text: "edit"
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontSmall
                            font.underline: true
                            color: Theme.accent
                            MouseArea { anchors.fill: parent; cursorShape: Qt.PointingHandCursor; onClicked: panel.certDateEditing = true }
                        }
                    }
                    AppTextField {
                        objectName: "cert_date"
                        Layout.fillWidth: true
                        readOnly: !panel.certDateEditing
                        text: panel.form.date
                        onTextEdited: panel.setField("date", text)
                    }
                }
                Repeater {
                    model: [{ key: "technician", label: "Technician" }, { key: "humidity", label: "Humidity (%)" },
                            { key: "waterTemperature", label: "Water (°C)" }, { key: "airTemperature", label: "Air (°C)" },
                            { key: "pressure", label: "Pressure (hPa)" }]
                    delegate: ColumnLayout {
                        Layout.fillWidth: true
                        Layout.preferredWidth: 1
                        spacing: 4
                        FieldLabel { text: modelData.label }
                        AppTextField {
                            objectName: "cert_" + modelData.key
                            Layout.fillWidth: true
                            text: panel.form[modelData.key]
                            invalid: modelData.key === "airTemperature"
                                     && Calibration.airTemperatureError(text).length > 0
                            onTextEdited: panel.setField(modelData.key, text)
                        }
                    }
                }
            }
            Text {
                objectName: "certZFactor"
                text: "Z Correction Factor: " + (panel.loadedFromDevice && panel.hasResult
                                                 ? Number(panel.result.zFactor).toFixed(4)
                                                 : (isNaN(panel.zFactor) ? "—" : Gravimetry.formatZ(panel.zFactor)))
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                font.weight: Font.DemiBold
                color: Theme.text
            }
        }

        // ---- Print and store
        RowLayout {
            spacing: Theme.space2
            AppButton {
                objectName: "generateCertificate"
                text: "Generate Certificate…"
                variant: "primary"
                enabled: Certification.canGenerate(panel.rules)
                onClicked: panel.generate()
            }
            AppButton {
                objectName: "saveToDevice"
                visible: panel.usbReady && !panel.loadedFromDevice
                text: "Save to Device"
                enabled: Certification.canSaveToDevice(panel.rules)
                onClicked: panel.saveToDevice()
            }
            AppButton {
                objectName: "downloadSource"
                visible: panel.deviceHasCert
                text: "Download"
                enabled: !panel.transferring && panel.pending === ""
                onClicked: panel.download()
            }
            AppButton {
                objectName: "deleteCertificate"
                visible: panel.loadedFromDevice
                text: panel.confirmingDelete ? "Confirm Delete?" : "Delete"
                variant: panel.confirmingDelete ? "danger" : "dangerGhost"
                onClicked: panel.deleteClicked()
            }
        }
        Text {
            objectName: "certificationStatus"
            Layout.fillWidth: true
            text: panel.deviceStatus.length > 0 ? panel.deviceStatus : Certification.guidance(panel.rules)
            wrapMode: Text.Wrap
            font.family: Theme.fontFamily
            font.pixelSize: Theme.fontBody
            color: Theme.textSecondary
        }
    }
}
