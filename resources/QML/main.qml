import QtQuick 2.11
import QtQuick.Window 2.11
import QtQuick.Controls 2.3
import QtGraphicalEffects 1.0
import org.kelpix.qml 1.0

Window {
    id: window

    objectName: "window"
    width: 800
    height: 600
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    visible: true
    color: "#00000000"
    flags: Qt.FramelessWindowHint | Qt.Window
    title: "Tarn"

    // The shape that casts the panel's shadow. mainScreen is opaque and of the
    // same geometry, so its shadow is the same, but it changes with every clock
    // tick and update step, and each change copied and blurred the whole panel
    // again. The copy of the source that DropShadow draws lies under mainScreen.
    Rectangle {
        id: panelShape

        anchors.fill: stackView
        visible: false
        color: Theme.pageBackground
    }

    DropShadow {
        id: panelShadow

        objectName: "panelShadow"
        anchors.fill: stackView
        source: panelShape
        transparentBorder: true
        radius: 40
        samples: 32
        verticalOffset: 14
        horizontalOffset: 0
        color: "#40000000"
    }

    // The shadow, blurred once, drawn from a texture of the whole window at
    // one texel a pixel, so its pixels stay exactly as drawn directly.
    // DropShadow's own "cached" keeps only samples / 2 = 16 px around the
    // panel and would cut off the shadow of radius 40.
    ShaderEffectSource {
        objectName: "panelShadowCache"
        anchors.fill: parent
        sourceItem: panelShadow
        sourceRect: Qt.rect(-panelShadow.x, -panelShadow.y, width, height)
        hideSource: true
        smooth: false
    }

    Item {
        id: stackView

        objectName: "stackView"
        width: 700
        height: 500
        anchors.centerIn: parent

        Rectangle {
            id: mainScreen

            objectName: "mainScreen"
            anchors.fill: parent
            color: Theme.pageBackground

            Rectangle {
                id: topBar

                objectName: "topBar"
                width: parent.width
                height: 24
                color: Theme.chrome

                MouseArea {
                    id: dragArea

                    property point pressPoint

                    objectName: "dragArea"
                    anchors.fill: parent
                    onPressed: pressPoint = Qt.point(mouse.x, mouse.y)
                    onPositionChanged: {
                        window.x += mouse.x - pressPoint.x
                        window.y += mouse.y - pressPoint.y
                    }
                }

                Image {
                    objectName: "logo"
                    width: 70
                    height: 24
                    anchors.left: parent.left
                    source: "qrc:/img/logo.png"
                }

                AbstractButton {
                    id: minimizeButton

                    objectName: "minimizeButton"
                    width: 24
                    height: 24
                    anchors.right: closeButton.left
                    background: Image {
                        source: "qrc:/img/minimize.png"
                    }
                    onClicked: window.showMinimized()
                }

                AbstractButton {
                    id: closeButton

                    objectName: "closeButton"
                    width: 24
                    height: 24
                    anchors.right: parent.right
                    background: Image {
                        source: "qrc:/img/close.png"
                    }
                    onClicked: Qt.quit()
                }
            }

            StackView {
                id: rootStackView

                objectName: "rootStackView"
                anchors.top: topBar.bottom
                width: parent.width
                height: parent.height - topBar.height
                clip: true
                initialItem: Qt.resolvedUrl("login.qml")
            }
        }

        Rectangle {
            id: splashScreen

            objectName: "splashScreen"
            anchors.fill: parent
            color: Theme.chrome
            opacity: 1

            // Keeps the hidden login page from taking clicks; the top bar
            // beneath the splash still drags, minimises and closes.
            MouseArea {
                objectName: "splashInputBlocker"
                anchors.fill: parent
                anchors.topMargin: topBar.height
                hoverEnabled: true
                acceptedButtons: Qt.AllButtons
                onWheel: wheel.accepted = true
            }

            Image {
                objectName: "splashLogo"
                width: 350
                height: 150
                anchors.horizontalCenter: parent.horizontalCenter
                y: 80
                source: "qrc:/img/logo_big.png"
            }

            Text {
                objectName: "splashHeadline"
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 80
                horizontalAlignment: Text.AlignHCenter
                text: "Self-Update in progress"
                color: Theme.lightText
                font.pixelSize: 24
                font.family: Theme.splashFontFamily
                font.weight: Font.ExtraLight
            }

            Text {
                id: text2

                objectName: "text2"
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 40
                horizontalAlignment: Text.AlignHCenter
                color: Theme.lightText
                font.pixelSize: 24
                font.family: Theme.splashFontFamily
                font.weight: Font.ExtraLight
            }

            // Why the self-update failed, below the error line.
            Text {
                objectName: "errorReasonText"
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.top: text2.bottom
                anchors.topMargin: 4
                width: parent.width - 40
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.WordWrap
                text: SelfUpdateHandler.errorReason
                color: Theme.error
                font.pixelSize: 16
                font.family: Theme.splashFontFamily
                font.weight: Font.ExtraLight
            }

            AbstractButton {
                id: closeButtonUpd

                objectName: "closeButtonUpd"
                width: 24
                height: 24
                anchors.top: parent.top
                anchors.right: parent.right
                visible: false
                enabled: false
                background: Image {
                    source: "qrc:/img/close.png"
                }
                onClicked: Qt.quit()
            }

            OpacityAnimator {
                id: opacityAnimator

                objectName: "opacityAnimator"
                target: splashScreen
                from: 1.0
                to: 0.0
                duration: 500
                easing.type: Easing.Linear
                running: false
                onRunningChanged: {
                    if (!running)
                        splashScreen.visible = false
                }
            }
        }
    }

    Connections {
        target: SelfUpdateHandler

        function onSelfUpdated() {
            opacityAnimator.start()
        }

        function onErrorFound() {
            closeButtonUpd.enabled = true
            closeButtonUpd.visible = true
            text2.color = Theme.error
            text2.text = "Error occurred during update."
        }
    }

    Connections {
        target: UserHandler

        function onLoginCompleted() {
            rootStackView.push(Qt.resolvedUrl("main_layout.qml"))
        }
    }
}
