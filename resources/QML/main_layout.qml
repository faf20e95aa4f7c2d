import QtQuick 2.11
import QtQuick.Controls 2.3
import QtGraphicalEffects 1.0
import org.kelpix.qml 1.0

Item {
    id: mainLayout

    component InfoCell: Item {
        id: cell

        property alias label: cellLabel.text
        property alias value: cellValue.text
        property alias valueSize: cellValue.font.pixelSize
        property bool divided: true

        width: 175
        height: 40
        anchors.verticalCenter: parent.verticalCenter

        Rectangle {
            objectName: cell.objectName + "Divider"
            visible: cell.divided
            width: 1
            height: parent.height
            color: "#e3e3e3"
        }

        Text {
            id: cellLabel

            objectName: cell.objectName + "Label"
            anchors.top: parent.top
            anchors.horizontalCenter: parent.horizontalCenter
            color: "#aeb2b5"
            font.family: Theme.fontFamily
            font.weight: Font.Medium
            font.pixelSize: 13
            font.letterSpacing: 1.5
        }

        Text {
            id: cellValue

            objectName: cell.objectName + "Value"
            anchors.bottom: parent.bottom
            anchors.horizontalCenter: parent.horizontalCenter
            color: "#000000"
            font.family: Theme.fontFamily
            font.weight: Font.Light
        }
    }

    component Tab: Item {
        id: tab

        property bool current
        property alias icon: tabIcon.source
        property alias label: tabLabel.text
        property int inset
        property bool dividerOnLeft: false

        signal clicked()

        width: 130
        height: 46

        Image {
            id: tabIcon

            x: tab.inset
            anchors.verticalCenter: parent.verticalCenter
            width: 16
            height: 16
            visible: false
        }

        // Tints the icon as a whole: its shape stays, its colour follows the tab.
        ColorOverlay {
            objectName: tab.objectName + "Icon"
            anchors.fill: tabIcon
            source: tabIcon
            color: tab.current ? Theme.currentTab : "#929294"
        }

        Text {
            id: tabLabel

            objectName: tab.objectName + "Label"
            anchors.right: parent.right
            anchors.rightMargin: tab.inset
            anchors.verticalCenter: parent.verticalCenter
            color: tab.current ? Theme.currentTab : "#656464"
            font.family: Theme.fontFamily
            font.weight: Font.Normal
            font.pixelSize: 16
        }

        Rectangle {
            x: tab.dividerOnLeft ? 0 : tab.width - width
            width: 1
            height: parent.height
            color: "#ebebeb"
        }

        Rectangle {
            objectName: tab.objectName + "Marker"
            visible: tab.current
            width: parent.width
            height: 4
            color: Theme.currentTabMarker
        }

        MouseArea {
            anchors.fill: parent
            onClicked: tab.clicked()
        }
    }

    objectName: "mainLayout"
    width: 700
    height: 476

    Rectangle {
        id: topBarMain

        function twoDigits(number) {
            return (number < 10 ? "0" : "") + number
        }

        // The UTC clock is built from the UTC fields of the moment itself:
        // shifting local time by the zone offset goes wrong near a
        // daylight-saving change.
        function updateTime() {
            var now = new Date()
            localTimePlaceholder.value = Qt.formatTime(now, "hh:mm:ss")
            utcTimePlaceholder.value = twoDigits(now.getUTCHours()) + ":"
                    + twoDigits(now.getUTCMinutes()) + ":" + twoDigits(now.getUTCSeconds())
        }

        objectName: "topBarMain"
        width: parent.width
        height: 71
        color: Theme.pageBackground
        Component.onCompleted: updateTime()

        InfoCell {
            id: vatsimIdPlaceholder

            objectName: "vatsimIdPlaceholder"
            x: 0
            divided: false
            label: "VATSIM ID"
            value: UserHandler.vatsimId
            valueSize: 15
        }

        InfoCell {
            id: ratingPlaceholder

            objectName: "ratingPlaceholder"
            x: 175
            label: "RATING"
            value: UserHandler.rating
            valueSize: 16
        }

        InfoCell {
            id: utcTimePlaceholder

            objectName: "utcTimePlaceholder"
            x: 350
            label: "UTC TIME"
            valueSize: 15
        }

        InfoCell {
            id: localTimePlaceholder

            objectName: "localTimePlaceholder"
            x: 525
            label: "LOCAL TIME"
            valueSize: 15
        }

        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: Theme.divider
        }

        Timer {
            objectName: "clockTimer"
            interval: 1000
            repeat: true
            running: true
            onTriggered: topBarMain.updateTime()
        }
    }

    SwipeView {
        id: mainSwipeView

        objectName: "mainSwipeView"
        anchors.top: topBarMain.bottom
        anchors.bottom: bottomBarMain.top
        width: parent.width
        interactive: false
        currentIndex: 0

        Loader {
            source: Qt.resolvedUrl("dashboard.qml")
        }

        Loader {
            source: Qt.resolvedUrl("update.qml")
        }

        Loader {
            source: Qt.resolvedUrl("settings.qml")
        }

        Loader {
            source: Qt.resolvedUrl("about.qml")
        }
    }

    Rectangle {
        id: bottomBarMain

        objectName: "bottomBarMain"
        anchors.bottom: parent.bottom
        width: parent.width
        height: 46
        color: Theme.pageBackground

        Rectangle {
            width: parent.width
            height: 1
            color: Theme.divider
        }

        Tab {
            id: dashboardPlaceholder

            objectName: "dashboardPlaceholder"
            x: 0
            current: mainSwipeView.currentIndex === 0
            icon: "qrc:/img/home.png"
            inset: 14
            label: "Dashboard"
            onClicked: mainSwipeView.currentIndex = 0
        }

        Tab {
            id: updatePlaceholder

            objectName: "updatePlaceholder"
            x: 130
            current: mainSwipeView.currentIndex === 1
            icon: "qrc:/img/update.png"
            inset: 24
            label: "Update"
            onClicked: mainSwipeView.currentIndex = 1
        }

        Tab {
            id: settingsPlaceholder

            objectName: "settingsPlaceholder"
            x: 260
            current: mainSwipeView.currentIndex === 2
            icon: "qrc:/img/settings.png"
            inset: 24
            label: "Settings"
            onClicked: mainSwipeView.currentIndex = 2
        }

        Tab {
            id: aboutPlaceholder

            objectName: "aboutPlaceholder"
            anchors.right: parent.right
            current: mainSwipeView.currentIndex === 3
            icon: "qrc:/img/about.png"
            inset: 32
            label: "About"
            dividerOnLeft: true
            onClicked: mainSwipeView.currentIndex = 3
        }
    }
}
