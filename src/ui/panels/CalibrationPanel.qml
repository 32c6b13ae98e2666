import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../js/Gravimetry.js" as Gravimetry
import "../js/Calibration.js" as Calibration

// The gravimetric calibration workstation: environment, three balance readings per target
// for each tip, the resulting volumes and new coefficients, sent over the active link.
// The arithmetic and the rules live in Gravimetry.js and Calibration.js.
Flickable {
    id: panel

    property var link: null
    property bool connected: false
    property string deviceName: ""
    property string serialNumber: ""
    property string firmwareVersion: ""

    property int tipIndex: 0
    property var currentCoefs: null
    property bool isFetchingCal: false
    property bool isApplyingCal: false
    // Per tip, per row, the three readings as typed.
    property var readings: emptyReadings()
    // Per tip, what the last successful save sent (rows of { reps, sent }), and what the
    // send under way would make of it.
    property var snapshots: [null, null]
    property var pendingSnapshots: null
    property string statusText: ""
    property bool statusIsError: false
    property var env: ({ date: today(), humidity: "", waterTemperature: "", airTemperature: "", pressure: "" })

    readonly property var tip: Calibration.tips[tipIndex]
    readonly property real zFactor: Calibration.zOf(env)
    readonly property bool shownComplete: Calibration.rowsComplete(readings[tipIndex])
    readonly property bool environmentComplete: Calibration.environmentComplete(env)
    readonly property bool canSend: connected && shownComplete && environmentComplete && currentCoefs !== null
                                    && !isFetchingCal && !isApplyingCal

    function today() { return Qt.formatDate(new Date(), "yyyy-MM-dd") }
    function emptyReadings() {
        return Calibration.tips.map(function (t) { return t.rows.map(function () { return ["", "", ""] }) })
    }
    function setReading(row, rep, text) {
        var next = JSON.parse(JSON.stringify(readings))
        next[tipIndex][row][rep] = text
        readings = next
    }
    function setEnv(key, text) {
        var next = Object.assign({}, env)
        next[key] = text
        env = next
    }
    function showStatus(text, isError) {
        statusText = text
        statusIsError = isError
        if (!isError && text.length > 0)
            statusTimer.restart()
    }

    function fetch() {
        // Only for a technician looking at it: a read nobody asked for could hold up the
        // link's other work.
        if (!visible || !link || !connected || currentCoefs !== null)
            return
        isFetchingCal = link.fetchCalibration()
        // Busy with something else: ask again shortly.
        if (!isFetchingCal)
            fetchRetry.restart()
    }

    function send() {
        var plan = Calibration.sendPlan({ tipIndex: tipIndex, rows: readings[tipIndex], otherRows: readings[1 - tipIndex],
                                          otherComplete: Calibration.rowsComplete(readings[1 - tipIndex]), env: env,
                                          coefs: currentCoefs, snapshots: snapshots })
        if (plan.error !== undefined) {
            if (plan.error.length > 0)
                showStatus(plan.error, true)
            return
        }
        pendingSnapshots = plan.snapshots
        isApplyingCal = true
        showStatus("", false)
        link.applyCalibration(plan.pairs, env.date)
    }

    function exportCertificate() {
        var printed = Calibration.exportRows(readings, env, currentCoefs, snapshots)
        calibrationPdf.generate({ deviceName: deviceName, serialNumber: serialNumber, firmwareVersion: firmwareVersion,
                                  calDate: env.date, tipSize: printed.tipSize, humidity: env.humidity,
                                  waterTemperature: env.waterTemperature, airTemperature: env.airTemperature,
                                  temperatureUnit: "°C", pressure: env.pressure, zFactor: Gravimetry.formatZ(zFactor),
                                  rows: printed.rows })
    }

    function resetEnvironment() {
        env = { date: today(), humidity: "", waterTemperature: "", airTemperature: "", pressure: "" }
    }
    function resetMeasurements() {
        readings = emptyReadings()
        snapshots = [null, null]
        pendingSnapshots = null
    }
    function fillDefaults() {
        var e = Object.assign({}, env, Calibration.defaultEnvironment)
        env = e
        readings = Calibration.tips.map(function (t) {
            return t.rows.map(function (r) { var v = r.target.toFixed(3); return [v, v, v] })
        })
    }

    onConnectedChanged: {
        if (connected) {
            fetch()
            return
        }
        // Another instrument may come next: nothing of this one stays.
        resetEnvironment()
        resetMeasurements()
        currentCoefs = null
        isFetchingCal = false
        isApplyingCal = false
    }
    onVisibleChanged: if (visible) fetch()
    Component.onCompleted: fetch()

    Connections {
        target: panel.link
        ignoreUnknownSignals: true
        function onCalibrationReceived(coefficients) {
            panel.currentCoefs = coefficients
            panel.isFetchingCal = false
        }
        function onCalibrationApplied(success) {
            panel.isApplyingCal = false
            if (success) {
                var next = panel.snapshots.slice()
                for (var t = 0; t < 2; ++t) {
                    if (panel.pendingSnapshots && panel.pendingSnapshots[t])
                        next[t] = panel.pendingSnapshots[t]
                }
                panel.snapshots = next
                panel.showStatus("✓ Calibration saved", false)
                refetch.restart()
            } else {
                panel.showStatus("Calibration failed — check device connection.", true)
            }
            panel.pendingSnapshots = null
        }
        // A refused or failed operation ends the waiting, whatever it was.
        function onErrorOccurred(message) {
            panel.isFetchingCal = false
        }
    }
    Timer { id: fetchRetry; interval: 1500; onTriggered: panel.fetch() }
    Timer {
        id: refetch
        interval: 500
        onTriggered: {
            panel.currentCoefs = null
            panel.fetch()
        }
    }
    Timer { id: statusTimer; interval: 3000; onTriggered: if (!panel.statusIsError) panel.statusText = "" }

    contentHeight: column.implicitHeight + 2 * Theme.space5
    clip: true
    boundsBehavior: Flickable.StopAtBounds

    ColumnLayout {
        id: column
        x: Theme.space5
        y: Theme.space5
        width: Math.min(panel.width - 2 * Theme.space5, 900)
        spacing: Theme.space4

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 40
            radius: Theme.radius
            color: Theme.sunken
            visible: !panel.connected
            Text {
                anchors.fill: parent
                anchors.leftMargin: Theme.space3
                verticalAlignment: Text.AlignVCenter
                text: "Connect the pipette to read and update its calibration."
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: Theme.textSecondary
            }
        }

        // ---- Environment
        SectionCard {
            Layout.fillWidth: true
            title: "ENVIRONMENT"
            GridLayout {
                width: parent.width
                columns: 3
                columnSpacing: Theme.space3
                rowSpacing: Theme.space2
                Repeater {
                    model: [{ key: "humidity", label: "Humidity (%)" }, { key: "waterTemperature", label: "Water (°C)" },
                            { key: "airTemperature", label: "Air (°C)" }, { key: "pressure", label: "Pressure (hPa)" },
                            { key: "date", label: "Calibration date" }]
                    delegate: ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 4
                        FieldLabel { text: modelData.label }
                        AppTextField {
                            objectName: "env_" + modelData.key
                            Layout.fillWidth: true
                            text: panel.env[modelData.key]
                            invalid: (modelData.key === "airTemperature"
                                      && Calibration.airTemperatureError(text).length > 0)
                                     || (modelData.key === "date" && !Calibration.isValidDate(text))
                            onTextEdited: panel.setEnv(modelData.key, text)
                        }
                    }
                }
                ColumnLayout {
                    spacing: 4
                    FieldLabel { text: "Z (µL/mg)" }
                    Text {
                        objectName: "zFactor"
                        Layout.preferredHeight: Theme.controlHeight
                        verticalAlignment: Text.AlignVCenter
                        text: isNaN(panel.zFactor) ? "—" : Gravimetry.formatZ(panel.zFactor)
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.fontBody
                        font.weight: Font.DemiBold
                        color: Theme.text
                    }
                }
            }
            Text {
                width: parent.width
                visible: text.length > 0
                text: Calibration.airTemperatureError(panel.env.airTemperature)
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.danger
            }
            Row {
                spacing: Theme.space2
                AppButton { text: "Reset"; compact: true; onClicked: panel.resetEnvironment() }
                AppButton {
                    objectName: "fillDefaults"
                    visible: mfgManager.mfgMode
                    text: "Fill Defaults"
                    compact: true
                    onClicked: panel.fillDefaults()
                }
            }
        }

        // ---- Measurements
        SectionCard {
            Layout.fillWidth: true
            title: "MEASUREMENTS"
            Text {
                objectName: "lastCalibrated"
                text: "Last calibrated: " + (panel.link && panel.link.calibrationDate ? panel.link.calibrationDate : "Never")
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textMuted
            }
            Row {
                spacing: Theme.space2
                Repeater {
                    model: Calibration.tips
                    delegate: AppButton {
                        objectName: "tip_" + index
                        text: modelData.label + "  " + modelData.range
                        variant: panel.tipIndex === index ? "primary" : "secondary"
                        compact: true
                        onClicked: panel.tipIndex = index
                    }
                }
            }
            GridLayout {
                columns: 9
                columnSpacing: 6
                rowSpacing: 6
                Repeater {
                    model: ["Target", "Rep 1 mg", "Rep 2 mg", "Rep 3 mg", "Mean µL", "Deviation", "Tol.", "Stored",
                            "New Steps"]
                    delegate: FieldLabel { text: modelData; Layout.preferredWidth: -1; font.pixelSize: Theme.fontSmall }
                }
                Repeater {
                    model: panel.tip.rows.length * 9
                    delegate: Loader {
                        readonly property int rowIndex: Math.floor(index / 9)
                        readonly property int column: index % 9
                        readonly property var row: panel.tip.rows[rowIndex]
                        readonly property var reps: panel.readings[panel.tipIndex][rowIndex]
                        readonly property real volume: Gravimetry.meanMass(reps) * panel.zFactor
                        readonly property real percent: Gravimetry.deviation(volume, row.target)
                        readonly property bool pass: Gravimetry.withinTolerance(percent, Calibration.tolerance(row.target))
                        Layout.preferredWidth: [52, 70, 70, 70, 62, 66, 40, 52, 64][column]
                        sourceComponent: column >= 1 && column <= 3 ? repField : cellText
                        Component {
                            id: repField
                            AppTextField {
                                objectName: "rep_" + rowIndex + "_" + (column - 1)
                                text: reps[column - 1]
                                horizontalAlignment: TextInput.AlignRight
                                color: isNaN(panel.zFactor) || text.length === 0 ? Theme.text
                                       : (Gravimetry.withinTolerance(Gravimetry.deviation(Gravimetry.number(text) * panel.zFactor, row.target),
                                                                     Calibration.tolerance(row.target)) ? Theme.success : Theme.danger)
                                onTextEdited: panel.setReading(rowIndex, column - 1, text)
                                onEditingFinished: {
                                    var value = Gravimetry.number(text)
                                    if (!isNaN(value) && value >= 0)
                                        panel.setReading(rowIndex, column - 1, value.toFixed(3))
                                }
                            }
                        }
                        Component {
                            id: cellText
                            Text {
                                objectName: "cell_" + rowIndex + "_" + column
                                verticalAlignment: Text.AlignVCenter
                                horizontalAlignment: Text.AlignRight
                                font.family: Theme.fontFamily
                                font.pixelSize: Theme.fontBody
                                color: column === 5 && !isNaN(percent) ? (pass ? Theme.success : Theme.danger) : Theme.text
                                text: {
                                    switch (column) {
                                    case 0: return row.target + " µL"
                                    case 4: return Gravimetry.formatVolume(volume)
                                    case 5: return Gravimetry.formatDeviation(percent)
                                    case 6: return "±" + Calibration.tolerance(row.target) + "%"
                                    case 7: return panel.currentCoefs ? Number(panel.currentCoefs[row.key]).toFixed(3) : "—"
                                    case 8:
                                        var snapshot = panel.snapshots[panel.tipIndex]
                                        var steps = panel.currentCoefs || snapshot
                                                ? Calibration.newSteps(panel.currentCoefs ? panel.currentCoefs[row.key] : NaN,
                                                                       row.target, volume, reps, snapshot ? snapshot[rowIndex] : null)
                                                : NaN
                                        return isNaN(steps) ? "—" : steps.toFixed(3)
                                    }
                                    return ""
                                }
                            }
                        }
                    }
                }
            }
            Text {
                objectName: "calibrationStatus"
                width: parent.width
                visible: text.length > 0
                text: panel.isApplyingCal ? "Sending calibration…" : (panel.isFetchingCal ? "Reading calibration…" : panel.statusText)
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: panel.statusIsError && !panel.isApplyingCal ? Theme.danger : Theme.textSecondary
            }
            Row {
                spacing: Theme.space2
                AppButton {
                    objectName: "sendCalibration"
                    text: "Save & Send to Device"
                    variant: "primary"
                    enabled: panel.canSend
                    onClicked: panel.send()
                }
                AppButton {
                    objectName: "exportCertificate"
                    text: "Export Certificate…"
                    enabled: Calibration.exportAllowed(panel.shownComplete, panel.env)
                    onClicked: panel.exportCertificate()
                }
                AppButton { text: "Reset"; onClicked: panel.resetMeasurements() }
            }
        }
    }
}
