import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import "../components"
import "../dialogs"
import "../js/Display.js" as Display
import "../js/Software.js" as Software

// The device's "Software" tab (USB only): the instrument's firmware against the releases,
// the update (a reinstall, in manufacturing mode any release or a local image), and one
// progress and result block for whatever runs.
Flickable {
    id: panel

    property string deviceName: ""
    property string pickedVersion: ""
    property string filePath: ""
    property real fileBytes: 0

    readonly property var catalog: typeof firmwareCatalog !== "undefined" ? firmwareCatalog : null
    readonly property var ota: typeof otaManager !== "undefined" ? otaManager : null
    readonly property bool mfg: mfgManager.mfgMode
    readonly property string env: mfg && typeof updateManager !== "undefined" ? updateManager.effectiveEnv : "prod"
    readonly property string stateName: ota ? Software.States[ota.state] : "Idle"
    readonly property var inputs: ({
        usbConnected: serialManager.isConnected, otaVersion: serialManager.usbOtaVersion,
        busy: ota !== null && ota.active, linkTransferring: serialManager.isTransferring, state: stateName,
        latest: catalog ? catalog.latestVersion : "", catalogEnv: catalog ? catalog.env : "", env: env,
        deviceVersion: catalog ? catalog.normalizeVersion(serialManager.usbDeviceFW) : "",
        picked: pickedVersion, mfg: mfg, filePath: filePath, checking: catalog !== null && catalog.checking,
        catalogError: catalog ? catalog.errorMessage : "",
        compare: function (a, b) { return catalog ? catalog.compareVersions(a, b) : 0 }
    })
    readonly property var rules: Software.derive(inputs)
    readonly property string current: Display.formatSwVersion(serialManager.usbDeviceFW)
    readonly property var guidance: Software.guidance(inputs, rules, current)

    function refresh() {
        if (catalog && !catalog.checking && serialManager.isConnected)
            catalog.refresh(env)
    }
    function ask(kind) {
        var text = Software.confirmation(kind, deviceName, current, rules.target, filePath.split(/[\\/]/).pop(), fileBytes)
        confirmDialog.kind = kind
        confirmDialog.title = text.title
        confirmDialog.message = text.body
        confirmDialog.open()
    }
    function start(kind) {
        if (rules.showResult)
            ota.reset()
        if (kind === "file")
            ota.startUpdateFromFile(filePath)
        else
            ota.startUpdateFromRelease(rules.target, env)
    }
    function chooseFile() {
        var path = fileDialogHelper.openFile("Choose Software Image", "Software images (*.bin);;All files (*)")
        if (path.length === 0)
            return
        filePath = path
        fileBytes = fileDialogHelper.fileSize(path)
        if (rules.showResult)
            ota.reset()
    }

    objectName: "softwarePanel"
    contentHeight: column.implicitHeight + 2 * Theme.space5
    clip: true
    boundsBehavior: Flickable.StopAtBounds

    onVisibleChanged: if (visible) refresh()
    onEnvChanged: {
        pickedVersion = ""
        if (visible)
            refresh()
    }
    Connections {
        target: serialManager
        function onIsConnectedChanged() { if (panel.visible) panel.refresh() }
    }
    Connections {
        target: panel.catalog
        ignoreUnknownSignals: true
        function onCatalogChanged() {
            if (panel.pickedVersion && panel.catalog.versions.indexOf(panel.pickedVersion) < 0)
                panel.pickedVersion = ""
        }
    }

    Column {
        id: column
        x: Theme.space5
        y: Theme.space5
        width: Math.min(panel.width - 2 * Theme.space5, 620)
        spacing: Theme.space4

        SectionCard {
            width: parent.width
            padding: Theme.space4
            title: "DEVICE SOFTWARE"

            Text {
                width: parent.width
                text: panel.current ? "Installed: " + panel.current : "Installed: unknown"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                font.weight: Font.DemiBold
                color: Theme.text
            }
            Text {
                objectName: "softwareGuidance"
                width: parent.width
                visible: text.length > 0
                text: panel.guidance.text
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                color: text.indexOf("⚠") === 0 ? Theme.warning : Theme.textSecondary
            }
            Text {
                objectName: "softwareNote"
                width: parent.width
                visible: text.length > 0
                text: panel.guidance.note
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textMuted
            }
            Row {
                spacing: Theme.space2
                visible: panel.mfg && panel.catalog !== null && panel.catalog.versions.length > 0
                FieldLabel { text: "Version"; anchors.verticalCenter: parent.verticalCenter }
                ComboBox {
                    objectName: "versionPicker"
                    model: panel.catalog ? panel.catalog.versions : []
                    currentIndex: panel.catalog ? Math.max(0, panel.catalog.versions.indexOf(panel.rules.target)) : 0
                    onActivated: panel.pickedVersion = model[index]
                }
            }
            Row {
                spacing: Theme.space2
                AppButton {
                    objectName: "updateButton"
                    visible: panel.rules.offerUpdate && !panel.rules.offerReinstall
                    enabled: panel.rules.canUpdateRelease
                    variant: "primary"
                    text: panel.rules.isSameVersion ? "Reinstall " + panel.rules.target
                          : (panel.rules.isDowngrade ? "Downgrade to " : "Update to ") + panel.rules.target
                    onClicked: panel.ask(panel.rules.isSameVersion ? "reinstall" : (panel.rules.isDowngrade ? "downgrade" : "update"))
                }
                AppButton {
                    objectName: "reinstallButton"
                    visible: panel.rules.offerReinstall
                    enabled: panel.rules.canUpdateRelease
                    text: "Reinstall " + panel.rules.target
                    onClicked: panel.ask("reinstall")
                }
                AppButton {
                    objectName: "checkAgainButton"
                    variant: "ghost"
                    text: "Check again"
                    enabled: serialManager.isConnected && panel.catalog !== null && !panel.catalog.checking
                    onClicked: panel.refresh()
                }
            }
        }

        SectionCard {
            width: parent.width
            padding: Theme.space4
            visible: panel.mfg
            title: "OR PUSH A LOCAL SOFTWARE IMAGE"

            RowLayout {
                width: parent.width
                spacing: Theme.space2
                AppButton { objectName: "chooseImageButton"; text: "Choose…"; onClicked: panel.chooseFile() }
                Text {
                    Layout.fillWidth: true
                    text: panel.filePath ? panel.filePath.split(/[\\/]/).pop() + " (" + Software.sizeText(panel.fileBytes) + ")"
                                         : "No file chosen"
                    elide: Text.ElideMiddle
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontBody
                    color: Theme.textSecondary
                }
                AppButton {
                    objectName: "pushImageButton"
                    text: "Push Image"
                    enabled: panel.rules.canUpdateFile
                    onClicked: panel.ask("file")
                }
            }
        }

        SectionCard {
            objectName: "softwareProgress"
            width: parent.width
            padding: Theme.space4
            visible: panel.inputs.busy

            RowLayout {
                width: parent.width
                Text {
                    Layout.fillWidth: true
                    text: panel.ota ? Software.progressTitle(panel.ota) : ""
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontBody
                    font.weight: Font.DemiBold
                    color: Theme.text
                }
                Text {
                    text: panel.ota ? panel.ota.progress + "%" : ""
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.fontBody
                    color: Theme.textSecondary
                }
            }
            ProgressBar {
                width: parent.width
                from: 0
                to: 100
                value: panel.ota ? panel.ota.progress : 0
                indeterminate: panel.stateName === "Beginning" || panel.stateName === "Rebooting"
            }
            Text {
                width: parent.width
                text: panel.ota ? panel.ota.statusMessage : ""
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.textSecondary
            }
            Text {
                width: parent.width
                visible: panel.ota !== null && !panel.ota.cancellable
                text: "Do not unplug the device. It restarts into the new software and the update is confirmed once it reconnects."
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontSmall
                color: Theme.warning
            }
            AppButton {
                objectName: "cancelUpdateButton"
                text: "Cancel"
                enabled: panel.ota !== null && panel.ota.cancellable
                onClicked: panel.ota.abort()
            }
        }

        SectionCard {
            objectName: "softwareResult"
            width: parent.width
            padding: Theme.space4
            visible: panel.rules.showResult

            Text {
                objectName: "softwareResultText"
                width: parent.width
                text: panel.ota ? Software.resultPrefix(panel.stateName) + panel.ota.statusMessage : ""
                wrapMode: Text.Wrap
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontBody
                font.weight: Font.DemiBold
                color: panel.stateName === "Done" ? Theme.success : (panel.stateName === "NeedsReplug" ? Theme.warning : Theme.danger)
            }
            Row {
                spacing: Theme.space2
                AppButton {
                    objectName: "resultOkButton"
                    text: "OK"
                    onClicked: {
                        panel.ota.reset()
                        panel.refresh()
                    }
                }
                AppButton {
                    objectName: "confirmSoftwareButton"
                    visible: panel.ota !== null && panel.ota.pendingConfirm && serialManager.isConnected
                    text: "Confirm current software"
                    onClicked: panel.ota.confirmRunningImage()
                }
            }
        }
    }

    ConfirmDialog {
        id: confirmDialog
        property string kind: ""
        objectName: "softwareConfirmDialog"
        confirmText: kind === "file" ? "Push Image" : (kind === "reinstall" ? "Reinstall" : (kind === "downgrade" ? "Downgrade" : "Update"))
        onConfirmed: panel.start(kind)
    }
}
