import QtQuick 2.11
import QtQuick.Controls 2.3
import QtGraphicalEffects 1.0
import org.kelpix.qml 1.0

Rectangle {
    id: updatePage

    readonly property color statusColor: Theme.darkGreyText
    readonly property color errorColor: Theme.error
    // Set by a write-failure report, so that the completion that follows
    // does not cover it with "Up-to-date".
    property bool writeFailureShown: false

    component PillButton: Button {
        id: pill

        property real backgroundOpacity: hovered ? 0.7 : 1

        width: 174
        height: 50
        hoverEnabled: true
        font.family: Theme.fontFamily
        font.weight: Font.Light
        font.pixelSize: 19
        contentItem: Text {
            text: pill.text
            font: pill.font
            color: Theme.lightText
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        background: Item {
            objectName: pill.objectName + "Background"
            opacity: pill.backgroundOpacity

            DropShadow {
                anchors.fill: pillFace
                source: pillFace
                transparentBorder: true
                verticalOffset: 8
                radius: 25
                samples: 32
                color: Theme.pillShadow
            }

            Rectangle {
                id: pillFace

                anchors.fill: parent
                radius: 25
                border.width: 1
                border.color: Theme.pillBorder
                gradient: Gradient {
                    GradientStop { position: 0; color: Theme.pillTop }
                    GradientStop { position: 1; color: Theme.pillBottom }
                }
            }
        }

        // A disabled button takes no pointer input, so it keeps the arrow.
        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.NoButton
            cursorShape: Qt.PointingHandCursor
        }
    }

    objectName: "updatePage"
    width: 700
    height: 360
    color: Theme.pageBackground

    Item {
        objectName: "statusBox"
        x: 80
        y: 64
        width: 540
        height: 55

        Text {
            id: textDebug

            objectName: "textDebug"
            wrapMode: Text.NoWrap
            text: "Press 'Check' to check update"
            color: updatePage.statusColor
            font.family: Theme.fontFamily
            font.weight: Font.Light
            font.pixelSize: 20
        }
    }

    ProgressBar {
        id: progressBar

        objectName: "progressBar"
        x: 79
        y: 147
        width: 562
        height: 77
        from: 0
        to: 1
        value: 0
        visible: false
    }

    PillButton {
        id: checkButton

        objectName: "checkButton"
        x: 80
        anchors.verticalCenter: parent.verticalCenter
        anchors.verticalCenterOffset: 119
        text: "Check"
        onClicked: {
            // Disabled before the call: a missing sector folder is reported
            // from within it, and that handler enables the button again.
            checkButton.enabled = false
            updatePage.writeFailureShown = false
            textDebug.color = updatePage.statusColor
            textDebug.text = "Checking for update..."
            UpdateHandler.checkUpdate()
        }
    }

    PillButton {
        id: updateButton

        objectName: "updateButton"
        x: 465
        anchors.verticalCenter: parent.verticalCenter
        anchors.verticalCenterOffset: 119
        enabled: false
        backgroundOpacity: 0.3
        text: "Update"
        onHoveredChanged: {
            if (enabled)
                backgroundOpacity = hovered ? 0.7 : 1
        }
        onClicked: {
            textDebug.text = "Updating..."
            UpdateHandler.startUpdate()
            progressBar.visible = true
            checkButton.enabled = false
            updateButton.enabled = false
            // Dimmed like every other disabled "Update" until the next check.
            updateButton.backgroundOpacity = 0.3
        }
    }

    Connections {
        target: UpdateHandler

        function onCheckoutComplete(needsUpdate, Updated) {
            checkButton.enabled = true
            if (needsUpdate) {
                textDebug.text = "Ready to Update. Files to update: " + Updated
                updateButton.enabled = true
                updateButton.backgroundOpacity = 1
            } else {
                textDebug.text = "Up-to-date"
                updateButton.enabled = false
                updateButton.backgroundOpacity = 0.3
            }
        }

        function onUpdateProgress(current, count) {
            progressBar.value = current / count
        }

        function onUpdateFailures(failed) {
            updatePage.writeFailureShown = true
            textDebug.color = updatePage.errorColor
            textDebug.text = "Update finished, but " + failed
                    + (failed === 1 ? " file" : " files") + " could not be written."
        }

        function onUpdateCompleted() {
            if (!updatePage.writeFailureShown)
                textDebug.text = "Up-to-date"
            checkButton.enabled = true
            progressBar.visible = false
        }

        function onSectorFolderError() {
            checkButton.enabled = true
            textDebug.text = "Sector folder error! Check sector path in the Settings!"
        }
    }
}
