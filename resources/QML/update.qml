import QtQuick 2.11
import QtQuick.Controls 2.3
import org.kelpix.qml 1.0

Rectangle {
    id: updatePage

    // What the update handler reported, for the states to show. "Update" is
    // offered while filesToUpdate holds the count of the last check that
    // found files: a new check or a folder error leaves that offer standing,
    // and starting the update takes it.
    property string filesToUpdate: ""
    // From the click on "Update" to the update's completion, whatever a
    // check reports meanwhile: the bar shows while files are downloaded.
    property bool updateRunning: false
    property real progress: 0
    // How many files the last update could not download or write.
    property int failedFiles: 0
    // Why the last check got no file list.
    property string checkFailure: ""

    component ActionButton: PillButton {
        width: 174
        height: 50
        anchors.verticalCenter: parent.verticalCenter
        anchors.verticalCenterOffset: 119
        font.pixelSize: 19
    }

    objectName: "updatePage"
    width: 700
    height: 360
    color: Theme.pageBackground
    state: "idle"

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
            color: Theme.darkGreyText
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
        value: updatePage.progress
        visible: updatePage.updateRunning
    }

    ActionButton {
        id: checkButton

        objectName: "checkButton"
        x: 80
        text: "Check"
        onClicked: {
            // The state comes first: a missing sector folder is reported from
            // within the call.
            updatePage.state = "checking"
            UpdateHandler.checkUpdate()
        }
    }

    ActionButton {
        id: updateButton

        objectName: "updateButton"
        x: 465
        enabled: updatePage.filesToUpdate !== ""
        disabledOpacity: 0.3
        text: "Update"
        onClicked: {
            updatePage.state = "updating"
            updatePage.filesToUpdate = ""
            updatePage.updateRunning = true
            UpdateHandler.startUpdate()
        }
    }

    Connections {
        target: UpdateHandler

        function onCheckoutComplete(needsUpdate, Updated) {
            updatePage.filesToUpdate = needsUpdate ? Updated : ""
            updatePage.state = needsUpdate ? "ready" : "done"
        }

        function onUpdateProgress(current, count) {
            updatePage.progress = current / count
        }

        // Reported just before the completion, which must not cover it. The
        // files that failed to download stay offered.
        function onUpdateFailures(failed, pending) {
            updatePage.failedFiles = failed
            updatePage.filesToUpdate = pending > 0 ? pending.toString() : ""
            updatePage.state = "failures"
        }

        function onCheckFailed(reason) {
            updatePage.checkFailure = reason
            updatePage.filesToUpdate = ""
            updatePage.state = "checkFailed"
        }

        function onUpdateCompleted() {
            updatePage.updateRunning = false
            if (updatePage.state !== "failures")
                updatePage.state = "done"
        }

        function onSectorFolderError() {
            updatePage.state = "folderError"
        }
    }

    states: [
        State {
            name: "idle"
        },
        State {
            name: "checking"

            PropertyChanges { target: textDebug; text: "Checking for update..." }
            PropertyChanges { target: checkButton; enabled: false }
        },
        State {
            name: "ready"

            PropertyChanges {
                target: textDebug
                text: "Ready to Update. Files to update: " + updatePage.filesToUpdate
            }
        },
        State {
            name: "updating"

            PropertyChanges { target: textDebug; text: "Updating..." }
            PropertyChanges { target: checkButton; enabled: false }
        },
        State {
            name: "done"

            PropertyChanges { target: textDebug; text: "Up-to-date" }
        },
        State {
            name: "folderError"

            PropertyChanges { target: textDebug; text: "Sector folder error! Check sector path in the Settings!" }
        },
        State {
            name: "failures"

            PropertyChanges {
                target: textDebug
                color: Theme.error
                text: "Update finished, but " + updatePage.failedFiles
                      + (updatePage.failedFiles === 1 ? " file" : " files") + " could not be downloaded."
            }
        },
        State {
            name: "checkFailed"

            PropertyChanges {
                target: textDebug
                color: Theme.error
                text: "Could not get the file list: " + updatePage.checkFailure
            }
        }
    ]
}
