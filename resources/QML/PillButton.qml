import QtQuick 2.11
import QtQuick.Controls 2.3
import QtGraphicalEffects 1.0

// The pill-shaped button of the pages: a gradient face over a soft shadow,
// white text, and a background that dims while the pointer is over it.
Button {
    id: pill

    // Discord's launch button: Discord's blue and a shallower shadow.
    property bool discord: false
    // The background's opacity while the button is disabled.
    property real disabledOpacity: 1

    hoverEnabled: true
    font.family: Theme.fontFamily
    font.weight: Font.Light
    contentItem: Text {
        text: pill.text
        font: pill.font
        color: Theme.lightText
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Item {
        objectName: pill.objectName + "Background"
        opacity: !pill.enabled ? pill.disabledOpacity : pill.hovered ? 0.7 : 1

        DropShadow {
            anchors.fill: pillFace
            source: pillFace
            transparentBorder: true
            verticalOffset: pill.discord ? 3 : 8
            radius: pill.discord ? 19 : 25
            samples: 32
            color: Theme.pillShadow
        }

        Rectangle {
            id: pillFace

            anchors.fill: parent
            radius: 25
            border.width: 1
            border.color: pill.discord ? Theme.discordBorder : Theme.pillBorder
            gradient: Gradient {
                GradientStop { position: 0; color: pill.discord ? Theme.discordTop : Theme.pillTop }
                GradientStop { position: 1; color: pill.discord ? Theme.discordBottom : Theme.pillBottom }
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
