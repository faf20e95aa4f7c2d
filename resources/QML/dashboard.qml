import QtQuick 2.11
import QtQuick.Controls 2.3
import QtGraphicalEffects 1.0
import org.kelpix.qml 1.0

Rectangle {
    id: dashboardPage

    // A pill-shaped launch button: an icon on the left, its text centred in
    // the space between the icon and the right margin.
    component LaunchButton: Button {
        id: pill

        property alias iconSource: launchIcon.source
        property alias iconWidth: launchIcon.width
        property alias iconHeight: launchIcon.height
        property int sideMargin
        property int iconSpacing
        property color borderColor: Theme.pillBorder
        property color topColor: Theme.pillTop
        property color bottomColor: Theme.pillBottom
        property int shadowOffset: 8
        property int shadowRadius: 25

        hoverEnabled: true
        padding: 0
        horizontalPadding: 0
        contentItem: Item {
            Image {
                id: launchIcon

                x: pill.sideMargin
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                objectName: pill.objectName + "Text"
                anchors.left: launchIcon.right
                anchors.leftMargin: pill.iconSpacing
                anchors.right: parent.right
                anchors.rightMargin: pill.sideMargin
                anchors.verticalCenter: parent.verticalCenter
                horizontalAlignment: Text.AlignHCenter
                text: pill.text
                font: pill.font
                color: Theme.lightText
            }
        }
        background: Item {
            objectName: pill.objectName + "Background"
            opacity: pill.hovered ? 0.7 : 1

            DropShadow {
                anchors.fill: pillFace
                source: pillFace
                transparentBorder: true
                verticalOffset: pill.shadowOffset
                radius: pill.shadowRadius
                samples: 32
                color: Theme.pillShadow
            }

            Rectangle {
                id: pillFace

                anchors.fill: parent
                radius: 25
                border.width: 1
                border.color: pill.borderColor
                gradient: Gradient {
                    GradientStop { position: 0; color: pill.topColor }
                    GradientStop { position: 1; color: pill.bottomColor }
                }
            }
        }

        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.NoButton
            cursorShape: Qt.PointingHandCursor
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
            font.family: Theme.fontFamily
            font.weight: Font.Light
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
            borderColor: Theme.discordBorder
            topColor: Theme.discordTop
            bottomColor: Theme.discordBottom
            shadowOffset: 3
            shadowRadius: 19
            text: "Launch Discord"
            font.family: Theme.fontFamily
            font.weight: Font.Light
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
    }
}
