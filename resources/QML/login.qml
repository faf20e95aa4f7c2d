import QtQuick 2.11
import QtQuick.Controls 2.3
import QtGraphicalEffects 1.0
import org.kelpix.qml 1.0

Item {
    id: loginPage

    function logIn() {
        // Blurred before the call: empty fields are answered from within it.
        loginPage.state = "blurred"
        UserHandler.logIn(loginInput.text, passwordInput.text)
    }

    // Sharpens the page again with the message in red.
    function showError(message) {
        loginPage.state = "main"
        statusText.color = Theme.error
        statusText.text = message
    }

    component UnderlinedField: TextField {
        id: field

        width: 250
        height: 44
        font.family: Theme.lightFontFamily
        font.pointSize: 18
        selectByMouse: true
        hoverEnabled: true
        ToolTip.visible: hovered
        ToolTip.delay: 1000
        ToolTip.timeout: 5000
        background: Item {
            Rectangle {
                objectName: field.objectName + "Underline"
                anchors.bottom: parent.bottom
                width: parent.width
                height: field.activeFocus ? 2 : 1
                color: field.activeFocus ? "#3a95db" : "#b6bac1"
            }
        }
    }

    objectName: "loginPage"
    width: 700
    height: 500
    state: "main"
    // Only the main Return key submits; the keypad's Enter is left alone.
    Keys.onReturnPressed: logIn()

    Rectangle {
        id: loginContent

        objectName: "loginContent"
        anchors.fill: parent
        color: Theme.pageBackground

        Text {
            objectName: "loginTitle"
            x: 227
            y: 80
            text: "Log In"
            font.family: Theme.titleFontFamily
            font.pixelSize: 18
        }

        Text {
            id: statusText

            objectName: "statusText"
            x: 227
            y: 111
            width: 250
            height: 28
            wrapMode: Text.WordWrap
            text: "Enter your username and password to continue work"
            color: Theme.greyText
            font.family: Theme.lightFontFamily
            font.pixelSize: 16
        }

        UnderlinedField {
            id: loginInput

            objectName: "loginInput"
            x: 227
            y: 180
            placeholderText: "Vatsim ID"
            text: UserHandler.username
            ToolTip.text: "VATSIM ID"
        }

        UnderlinedField {
            id: passwordInput

            objectName: "passwordInput"
            x: 227
            y: 260
            echoMode: TextInput.Password
            placeholderText: "Password"
            text: UserHandler.hashedPassword
            ToolTip.text: "Tarn password"
        }

        PillButton {
            id: loginButton

            objectName: "loginButton"
            x: 223
            y: 340
            width: 255
            text: "Next >"
            font.pointSize: 20
            onClicked: loginPage.logIn()
        }

        Text {
            id: registerLink

            objectName: "registerLink"
            x: 227
            y: 420
            textFormat: Text.RichText
            text: "<a href=\"https://www.tarn-atc.example/#code\""
                  + " style=\"color: " + Theme.link + "; text-decoration: none\">"
                  + "Forgot password or want to register?</a>"
            font.family: Theme.lightFontFamily
            font.pixelSize: 16
            onLinkActivated: Qt.openUrlExternally(link)

            MouseArea {
                anchors.fill: parent
                acceptedButtons: Qt.NoButton
                cursorShape: registerLink.hoveredLink ? Qt.PointingHandCursor : Qt.ArrowCursor
            }
        }
    }

    // Draws over the page but takes no input: the controls beneath stay usable.
    FastBlur {
        id: blur

        objectName: "blur"
        anchors.fill: loginContent
        source: loginContent
        radius: 0
    }

    Connections {
        target: UserHandler

        function onLoginFailed() {
            loginPage.showError("Wrong username or password")
        }

        function onLoginEmpty() {
            loginPage.showError("Login and password can't be empty")
        }

        function onLoginError(reason) {
            loginPage.showError("Could not log in: " + reason)
        }
    }

    states: [
        State {
            name: "main"
            PropertyChanges { target: blur; radius: 0 }
        },
        State {
            name: "blurred"
            PropertyChanges { target: blur; radius: 32 }
        }
    ]

    transitions: [
        Transition {
            to: "blurred"
            NumberAnimation { target: blur; property: "radius"; duration: 1000 }
        },
        Transition {
            to: "main"
            NumberAnimation { target: blur; property: "radius"; duration: 50 }
        }
    ]
}
