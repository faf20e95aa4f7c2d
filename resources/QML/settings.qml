import QtQuick 2.11
import QtQuick.Controls 2.3
import QtQuick.Dialogs 1.3
import org.kelpix.qml 1.0

Rectangle {
    id: settingsPage

    function shownPath(url) {
        return url === "" ? "Empty" : SettingsHandler.natifyUrl(url)
    }

    component Caption: Text {
        color: Theme.darkGreyText
        font.family: Theme.fontFamily
        font.weight: Font.Light
        font.pixelSize: 14
    }

    component Hint: Text {
        y: 3
        color: Theme.darkGreyText
        font.family: Theme.fontFamily
        font.weight: Font.Light
        font.pixelSize: 11
    }

    component PathRow: Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        color: Theme.pageBackground
        border.width: 1
        border.color: Theme.pathFrame
        radius: 3
    }

    // One line at most, broken anywhere: a long path shows its beginning and
    // the rest is cut off without an ellipsis.
    component PathText: Text {
        x: 10
        width: parent.width - 110
        anchors.verticalCenter: parent.verticalCenter
        wrapMode: Text.WrapAnywhere
        maximumLineCount: 1
        elide: Text.ElideNone
        font.family: Theme.fontFamily
        font.weight: Font.Light
        font.pixelSize: 16
    }

    // The row's last 90 px: square on the left, rounded on the right.
    component OpenButton: Rectangle {
        id: openButton

        signal clicked()

        anchors.right: parent.right
        width: 90
        height: parent.height
        radius: 3
        color: Theme.pathFrame

        Rectangle {
            width: openButton.radius
            height: parent.height
            color: openButton.color
        }

        Text {
            anchors.centerIn: parent
            text: "Open"
            color: Theme.lightText
            font.family: Theme.fontFamily
            font.weight: Font.Normal
            font.pixelSize: 17
        }

        MouseArea {
            anchors.fill: parent
            cursorShape: Qt.PointingHandCursor
            onClicked: openButton.clicked()
        }
    }

    objectName: "settingsPage"
    width: 700
    height: 360
    color: Theme.pageBackground

    Item {
        id: esBlock

        objectName: "esBlock"
        x: 80
        y: 64
        width: 540
        height: 55

        Caption {
            id: esCaption

            text: "Euroscope Path"
        }

        Hint {
            x: 115
            text: "Path to Euroscope.exe file."
        }

        PathRow {
            id: esRowContainer

            objectName: "esRowContainer"
            anchors.top: esCaption.bottom
            anchors.topMargin: 10

            PathText {
                id: esPathText

                objectName: "esPathText"
                text: settingsPage.shownPath(SettingsHandler.euroscopePath)
            }

            OpenButton {
                objectName: "esOpenButton"
                onClicked: esPathDialog.open()
            }
        }
    }

    Item {
        id: sectorBlock

        objectName: "sectorBlock"
        x: 80
        anchors.top: esBlock.bottom
        anchors.topMargin: 20
        width: 540
        height: 55

        Caption {
            id: sectorCaption

            text: "Sector Path"
        }

        Hint {
            x: 90
            text: "Path to sector folder. If you do not have it yet, you can create and select empty one."
        }

        PathRow {
            id: sectorRowContainer

            objectName: "sectorRowContainer"
            anchors.top: sectorCaption.bottom
            anchors.topMargin: 10
            ToolTip.visible: sectorRowHover.containsMouse
            ToolTip.delay: 1000
            ToolTip.timeout: 5000
            ToolTip.text: "Sector folder"

            // Takes hover only; the "Open" button above it takes no hover, so
            // the whole row counts.
            MouseArea {
                id: sectorRowHover

                anchors.fill: parent
                acceptedButtons: Qt.NoButton
                hoverEnabled: true
            }

            PathText {
                id: sectorPathText

                objectName: "sectorPathText"
                text: settingsPage.shownPath(SettingsHandler.sectorPath)
            }

            OpenButton {
                objectName: "sectorOpenButton"
                onClicked: sectorPathDialog.open()
            }
        }
    }

    FileDialog {
        id: esPathDialog

        objectName: "esPathDialog"
        title: "Please specify the Euroscope.exe"
        selectExisting: true
        selectFolder: false
        selectMultiple: false
        nameFilters: ["Euroscope executable (EuroScope.exe)"]
        folder: SettingsHandler.euroscopePath !== "" ? SettingsHandler.euroscopePath
                                                     : SettingsHandler.getDefaultEuroscopePath()
        onAccepted: SettingsHandler.euroscopePath = fileUrl
    }

    FileDialog {
        id: sectorPathDialog

        objectName: "sectorPathDialog"
        title: "Please specify a folder to be used for a sector"
        selectExisting: true
        selectFolder: true
        selectMultiple: false
        folder: SettingsHandler.sectorPath !== "" ? SettingsHandler.sectorPath : Qt.resolvedUrl(".")
        onAccepted: SettingsHandler.sectorPath = fileUrl
    }
}
