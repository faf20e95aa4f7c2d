import QtQuick 2.11
import org.kelpix.qml 1.0

Rectangle {
    id: aboutPage

    function link(target, text) {
        return "<a href=\"" + target + "\" style=\"color: " + Theme.link + "\">" + text + "</a>"
    }

    objectName: "aboutPage"
    width: 700
    height: 360
    color: Theme.chrome

    Rectangle {
        objectName: "headerStrip"
        width: 700
        height: 83
        color: Theme.chrome

        Image {
            objectName: "aboutLogo"
            anchors.fill: parent
            anchors.leftMargin: 20
            anchors.rightMargin: 541
            anchors.topMargin: 10
            anchors.bottomMargin: 10
            fillMode: Image.PreserveAspectFit
            source: "qrc:/img/logo_big.png"
        }
    }

    Text {
        objectName: "aboutTitle"
        x: 260
        y: 21
        text: ApplicationHandler.productTitle
        color: Theme.lightText
        font.family: Theme.fontFamily
        font.pixelSize: 34
    }

    Text {
        objectName: "buildLabel"
        anchors.top: parent.top
        anchors.topMargin: 30
        anchors.right: parent.right
        anchors.rightMargin: 19
        horizontalAlignment: Text.AlignRight
        text: ApplicationHandler.buildNumberString
        color: Theme.lightText
        font.family: Theme.fontFamily
        font.pixelSize: 20
    }

    Text {
        id: informationBlock

        objectName: "informationBlock"
        anchors.fill: parent
        anchors.leftMargin: 40
        anchors.topMargin: 100
        anchors.rightMargin: 40
        anchors.bottomMargin: 26
        textFormat: Text.RichText
        wrapMode: Text.NoWrap
        horizontalAlignment: Text.AlignLeft
        color: Theme.lightText
        font.family: Theme.fontFamily
        font.weight: Font.Normal
        font.pointSize: 12
        text: "Official site: " + aboutPage.link("https://www.tarn-atc.example/", "https://www.tarn-atc.example/")
              + "<br><br>"
              + "Join Brenmar vACC " + aboutPage.link(ApplicationHandler.chatInvitation, "Discord")
              + "<br><br><br>"
              + "Feel free to provide feedback and bug reports using:<br>"
              + "E-Mail: " + aboutPage.link("mailto:feedback@tarn-atc.example", "feedback@tarn-atc.example")
              + "<br>"
              + "Discord: kelpix#0042"
              + "<br><br>"
              + "© 2026 Tarn developers. All rights reserved."
        onLinkActivated: Qt.openUrlExternally(link)

        MouseArea {
            anchors.fill: parent
            acceptedButtons: Qt.NoButton
            cursorShape: informationBlock.hoveredLink ? Qt.PointingHandCursor : Qt.ArrowCursor
        }
    }
}
