import QtQuick 2.11
import QtQuick.Window 2.11
import QtQuick.Controls 2.3
import QtQuick.Layouts 1.3
import QtQuick.Dialogs 1.3
import QtGraphicalEffects 1.0

// The plainest window a Qt Quick program with the same imports can show: a
// frameless 800 x 600 window with one white panel and its drop shadow.
Window {
    width: 800
    height: 600
    visible: true
    color: "#00000000"
    flags: Qt.FramelessWindowHint | Qt.Window

    DropShadow {
        anchors.fill: panel
        source: panel
        transparentBorder: true
        radius: 40
        samples: 32
        verticalOffset: 14
        color: "#40000000"
    }

    Rectangle {
        id: panel

        width: 700
        height: 500
        anchors.centerIn: parent
        color: "#ffffff"
    }
}
