import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.settings 1.1
import "../components"
import "../js/Display.js" as Display

Page {
    id: page

    signal backRequested()

    readonly property var updates: typeof updateManager !== "undefined" ? updateManager : null
    // Work on an instrument that quitting the program would cut short.
    readonly property bool instrumentBusy: (typeof otaManager !== "undefined" && otaManager.active)
                                           || (typeof bootstrapManager !== "undefined" && bootstrapManager.isActive === true)
    readonly property string userGuideUrl: "https://www.vellora.com/nerra/user-guide"

    objectName: "settingsPage"
    background: Rectangle { color: Theme.window }

    Settings {
        id: notificationSettings
        category: "Notifications"
        property bool muted: false
        property real volume: 0.8
    }

    header: Rectangle {
        height: Theme.headerHeight
        color: Theme.surface
        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: Theme.border
        }
        RowLayout {
            anchors.fill: parent
            anchors.leftMargin: Theme.space4
            anchors.rightMargin: Theme.space5
            spacing: Theme.space3
            AppButton {
                objectName: "settingsBack"
                text: "← Back"
                variant: "ghost"
                onClicked: page.backRequested()
            }
            Rectangle { Layout.preferredWidth: 1; Layout.preferredHeight: 24; color: Theme.border }
            Text {
                text: "Settings"
                font.family: Theme.fontFamily
                font.pixelSize: Theme.fontTitle
                font.weight: Font.DemiBold
                color: Theme.text
            }
            Item { Layout.fillWidth: true }
        }
    }

    Flickable {
        id: scroller
        anchors.fill: parent
        contentWidth: width
        contentHeight: grid.implicitHeight + 2 * Theme.space4
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {}

        GridLayout {
            id: grid
            width: Math.min(scroller.width - 2 * Theme.space5, 720)
            x: (scroller.width - width) / 2
            y: Theme.space4
            columns: 1
            columnSpacing: Theme.space4
            rowSpacing: Theme.space3

            // ---- About
            SettingsCard {
                objectName: "aboutCard"
                title: "ABOUT"
                Row {
                    spacing: Theme.space4
                    Image {
                        source: "../imgs/app-icon.png"
                        sourceSize.width: 56
                        sourceSize.height: 56
                        width: 56
                        height: 56
                    }
                    Column {
                        spacing: 2
                        anchors.verticalCenter: parent.verticalCenter
                        Text {
                            text: "Nerra Desktop"
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontTitle
                            font.weight: Font.DemiBold
                            color: Theme.text
                        }
                        Text {
                            objectName: "aboutVersion"
                            text: "Version " + Display.aboutVersion(buildVersion)
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontBody
                            color: Theme.textSecondary
                        }
                        Text {
                            text: "Built " + buildTimestamp
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.fontSmall
                            color: Theme.textFaint
                        }
                    }
                }
                CardText {
                    text: "Build, check and send pipetting methods to your Nerra pipette."
                }
            }

            // ---- Software updates (once the self-updater is part of the program)
            SettingsCard {
                id: updatesCard
                objectName: "updatesCard"
                visible: page.updates !== null
                title: "SOFTWARE UPDATES"
                readonly property string state: page.updates ? page.updates.state : "idle"

                GridLayout {
                    width: parent.width
                    columns: 2
                    columnSpacing: Theme.space4
                    rowSpacing: 4
                    CardText { text: "Installed"; color: Theme.textMuted; Layout.fillWidth: false; Layout.preferredWidth: 120 }
                    CardText { text: Display.aboutVersion(buildVersion); color: Theme.text }
                    CardText { text: "Latest"; color: Theme.textMuted; Layout.fillWidth: false; Layout.preferredWidth: 120 }
                    CardText {
                        text: page.updates && page.updates.latestVersion.length > 0 ? page.updates.latestVersion : "—"
                        color: Theme.text
                    }
                }
                CardText {
                    objectName: "updateStatus"
                    visible: text.length > 0
                    color: updatesCard.state === "error" ? Theme.danger
                                                         : (updatesCard.state === "upToDate" ? Theme.success : Theme.textSecondary)
                    text: {
                        if (!page.updates)
                            return ""
                        switch (updatesCard.state) {
                        case "checking": return "Checking for updates…"
                        case "upToDate": return "✓ Nerra Desktop is up to date."
                        // Where this build cannot install, the hint below says it all.
                        case "updateAvailable": return page.updates.canInstall ? "Version " + page.updates.latestVersion + " is available." : ""
                        case "downloading": return "Downloading update…  " + page.updates.downloadProgress + "%"
                        case "verifying": return "Verifying the download…"
                        case "readyToInstall": return "The update is ready to install."
                        case "installing": return "Starting the installer…"
                        case "error": return page.updates.errorMessage
                        }
                        return ""
                    }
                }
                CardText {
                    objectName: "installHint"
                    visible: text.length > 0
                    color: Theme.textSecondary
                    text: page.updates ? page.updates.installHint : ""
                }
                AppButton {
                    objectName: "releaseNotesButton"
                    visible: page.updates !== null && page.updates.updateAvailable && page.updates.releaseNotesUrl.length > 0
                    text: "Release Notes ↗"
                    variant: "ghost"
                    onClicked: Qt.openUrlExternally(page.updates.releaseNotesUrl)
                }
                ProgressBar {
                    width: parent.width
                    visible: updatesCard.state === "downloading"
                    from: 0
                    to: 100
                    value: page.updates ? page.updates.downloadProgress : 0
                }
                RowLayout {
                    width: parent.width
                    spacing: Theme.space2
                    AppButton {
                        objectName: "updateNowButton"
                        visible: updatesCard.state === "updateAvailable" && page.updates.canInstall
                        text: "Update Now"
                        variant: "primary"
                        onClicked: page.updates.startDownload()
                    }
                    AppButton {
                        objectName: "installUpdateButton"
                        visible: updatesCard.state === "readyToInstall"
                        // Quitting now would cut the pipette's software update (or a board
                        // flash) mid-write.
                        enabled: !page.instrumentBusy
                        text: "Restart && Install"
                        variant: "primary"
                        onClicked: page.updates.installAndRelaunch()
                    }
                    AppButton {
                        objectName: "checkUpdatesButton"
                        text: "Check for Updates"
                        enabled: updatesCard.state !== "checking"
                        onClicked: page.updates.checkNow()
                    }
                    Item { Layout.fillWidth: true }
                    AppSwitch {
                        text: "Auto-check"
                        checked: page.updates ? page.updates.autoCheck : false
                        onToggled: page.updates.autoCheck = checked
                    }
                }
                CardText {
                    objectName: "installBlockedReason"
                    visible: updatesCard.state === "readyToInstall" && page.instrumentBusy
                    color: Theme.warning
                    text: "Finish the pipette's software update first: restarting now would interrupt it."
                }
                RowLayout {
                    width: parent.width
                    visible: mfgManager.mfgMode
                    spacing: Theme.space3
                    CardText { text: "Update bucket"; Layout.fillWidth: false; color: Theme.textMuted }
                    ComboBox {
                        Layout.preferredWidth: 140
                        model: ["prod", "qa", "mfg", "dev"]
                        currentIndex: page.updates ? Math.max(0, model.indexOf(page.updates.updateEnv)) : 0
                        onActivated: {
                            page.updates.updateEnv = model[index]
                            if (page.updates.state !== "idle")
                                page.updates.dismiss()
                        }
                    }
                }
            }

            // ---- Documentation
            SettingsCard {
                objectName: "documentationCard"
                title: "DOCUMENTATION"
                CardText {
                    text: "The Nerra user guide explains every kind of step, the tip and volume rules, and how to send a method to your pipette."
                }
                AppButton {
                    text: "Open User Guide ↗"
                    onClicked: Qt.openUrlExternally(page.userGuideUrl)
                }
            }

            // ---- Notifications
            SettingsCard {
                objectName: "notificationsCard"
                title: "NOTIFICATIONS"
                AppSwitch {
                    objectName: "muteSwitch"
                    text: "Mute alert sounds"
                    checked: notificationSettings.muted
                    onToggled: notificationSettings.muted = checked
                }
                RowLayout {
                    width: parent.width
                    spacing: Theme.space3
                    CardText {
                        Layout.fillWidth: false
                        text: "Volume"
                        color: notificationSettings.muted ? Theme.textFaint : Theme.textSecondary
                    }
                    AppSlider {
                        id: volumeSlider
                        objectName: "volumeSlider"
                        Layout.fillWidth: true
                        from: 0
                        to: 1
                        enabled: !notificationSettings.muted
                        value: notificationSettings.volume
                        onMoved: notificationSettings.volume = value
                    }
                    CardText {
                        objectName: "volumeLabel"
                        Layout.fillWidth: false
                        Layout.preferredWidth: 40
                        horizontalAlignment: Text.AlignRight
                        text: Math.round(volumeSlider.value * 100) + "%"
                        color: notificationSettings.muted ? Theme.textFaint : Theme.text
                    }
                }
            }

            // ---- Certifications (manufacturing mode)
            SettingsCard {
                id: certCard
                objectName: "certificationsCard"
                visible: mfgManager.mfgMode
                title: "CERTIFICATIONS"

                property string folder: ""
                property string source: ""
                property bool overridden: false
                property bool hasOverride: false
                function refresh() {
                    folder = fileDialogHelper.certificationsRootQml()
                    // A chosen folder that has since vanished no longer counts: the automatic one is used.
                    var chosen = fileDialogHelper.certificationsRootOverride()
                    hasOverride = chosen.length > 0
                    overridden = hasOverride && chosen === folder
                    var drive = fileDialogHelper.detectGoogleDriveCertificationsRootQml()
                    source = overridden ? "Folder you chose"
                           : drive.length > 0 && drive === folder ? "Shared drive folder, found automatically"
                           : "Folder on this computer"
                }

                onVisibleChanged: if (visible) refresh()
                Component.onCompleted: if (visible) refresh()

                CardText { text: "Certificate PDFs are saved in:" }
                RowLayout {
                    width: parent.width
                    spacing: Theme.space2
                    Rectangle {
                        Layout.fillWidth: true
                        implicitHeight: 32
                        radius: Theme.radiusSmall
                        color: Theme.sunken
                        Text {
                            anchors.fill: parent
                            anchors.leftMargin: 10
                            anchors.rightMargin: 10
                            verticalAlignment: Text.AlignVCenter
                            text: certCard.folder
                            elide: Text.ElideMiddle
                            font.family: Theme.monoFamily
                            font.pixelSize: Theme.fontSmall
                            color: Theme.text
                        }
                    }
                    AppButton {
                        objectName: "browseCertificationsButton"
                        text: "Browse…"
                        onClicked: {
                            var chosen = fileDialogHelper.chooseDirectory("Folder for certificate PDFs", certCard.folder)
                            if (chosen.length > 0 && fileDialogHelper.setCertificationsRootOverride(chosen))
                                certCard.refresh()
                        }
                    }
                    AppButton {
                        objectName: "resetCertificationsButton"
                        text: "Reset"
                        enabled: certCard.hasOverride
                        onClicked: {
                            if (fileDialogHelper.setCertificationsRootOverride(""))
                                certCard.refresh()
                        }
                    }
                }
                RowLayout {
                    width: parent.width
                    CardText { text: certCard.source; color: Theme.textMuted }
                    AppButton {
                        text: "Open Folder"
                        onClicked: Qt.openUrlExternally("file:///" + certCard.folder.replace(/^\/+/, ""))
                    }
                }
            }
        }
    }

    component SettingsCard: SectionCard {
        padding: 20
        // A fixed width keeps the wrapped texts from feeding back into the grid's layout.
        Layout.preferredWidth: grid.width
    }

    component CardText: Text {
        width: parent ? parent.width : implicitWidth
        Layout.fillWidth: true
        wrapMode: Text.Wrap
        font.family: Theme.fontFamily
        font.pixelSize: Theme.fontBody
        color: Theme.textSecondary
        lineHeight: 1.2
    }
}
