import QtQuick 2.11
import org.kelpix.qml 1.0

Rectangle {
    id: dashboardPage

    // A launch button: an icon on the left, its text centred in the space
    // between the icon and the right margin.
    component LaunchButton: PillButton {
        id: launchButton

        property alias iconSource: launchIcon.source
        property alias iconWidth: launchIcon.width
        property alias iconHeight: launchIcon.height
        property int sideMargin
        property int iconSpacing

        padding: 0
        horizontalPadding: 0
        contentItem: Item {
            Image {
                id: launchIcon

                x: launchButton.sideMargin
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                objectName: launchButton.objectName + "Text"
                anchors.left: launchIcon.right
                anchors.leftMargin: launchButton.iconSpacing
                anchors.right: parent.right
                anchors.rightMargin: launchButton.sideMargin
                anchors.verticalCenter: parent.verticalCenter
                horizontalAlignment: Text.AlignHCenter
                text: launchButton.text
                font: launchButton.font
                color: Theme.lightText
            }
        }
    }

    objectName: "dashboardPage"
    width: 700
    height: 360
    color: Theme.pageBackground

    Image {
        objectName: "dashboardBackground"
        width: 700
        height: 360
        source: "qrc:/img/dashboard_bg.png"
    }

    Item {
        objectName: "buttonBlock"
        width: 200
        height: 120
        anchors.centerIn: parent

        LaunchButton {
            id: launchEuroscopeButton

            objectName: "launchEuroscopeButton"
            width: 255
            height: 50
            anchors.top: parent.top
            anchors.horizontalCenter: parent.horizontalCenter
            iconSource: "qrc:/img/es_logo.png"
            iconWidth: 23
            iconHeight: 23
            sideMargin: 24
            iconSpacing: 11
            text: "Launch Euroscope"
            font.pixelSize: 19
            onClicked: ApplicationHandler.startEuroscope()
        }

        LaunchButton {
            id: launchDiscordButton

            objectName: "launchDiscordButton"
            width: 190
            height: 42
            anchors.bottom: parent.bottom
            anchors.horizontalCenter: parent.horizontalCenter
            iconSource: "qrc:/img/discord_logo.png"
            iconWidth: 21
            iconHeight: 15
            sideMargin: 18
            iconSpacing: 8
            discord: true
            text: "Launch Discord"
            font.pixelSize: 16
            onClicked: ApplicationHandler.startDiscord()
        }

        Text {
            id: statusText1

            objectName: "statusText1"
            x: 55
            y: 171
            width: 250
            height: 28
            wrapMode: Text.WordWrap
            color: Theme.greyText
            font.family: Theme.lightFontFamily
            font.pixelSize: 16
        }
    }

    Connections {
        target: ApplicationHandler

        function onAfvError() {
            statusText1.text = "AFV not found"
            statusText1.color = Theme.error
        }

        function onLaunchError(message) {
            statusText1.text = message
            statusText1.color = Theme.error
        }
    }
}
