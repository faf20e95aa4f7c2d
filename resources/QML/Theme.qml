pragma Singleton
import QtQuick 2.11

// The interface's colours and font families, named once for every page.
QtObject {
    // The dark chrome of the top bar, the splash and the About page.
    readonly property color chrome: "#37373a"
    readonly property color pageBackground: "#ffffff"
    // Text on the dark chrome and on the pill buttons.
    readonly property color lightText: "#ffffff"
    readonly property color error: "#ff0000"
    readonly property color link: "#FC6500"
    // The status lines of the login page and the dashboard.
    readonly property color greyText: "#777777"
    // The update page's status line and the settings page's captions.
    readonly property color darkGreyText: "#6d6d6d"
    readonly property color currentTabMarker: "#2c599e"
    readonly property color currentTab: "#4f4f50"
    readonly property color divider: "#d9dee3"
    // The frame of a path row on the settings page and its "Open" button.
    readonly property color pathFrame: "#9da5ae"

    readonly property color pillBorder: "#3846b0"
    readonly property color pillTop: "#4253d0"
    readonly property color pillBottom: "#3744ac"
    readonly property color pillShadow: "#66111e71"
    readonly property color discordBorder: "#4867d4"
    readonly property color discordTop: "#4766d3"
    readonly property color discordBottom: "#405bbd"

    // The three registered faces share this family; pages pick the weight.
    readonly property string fontFamily: "Roboto"
    readonly property string lightFontFamily: "Roboto Light"
    // No registered face carries these two, so their text falls back to the
    // platform's default face.
    readonly property string titleFontFamily: "Roboto Regular"
    readonly property string splashFontFamily: "ArialRoboto"
}
