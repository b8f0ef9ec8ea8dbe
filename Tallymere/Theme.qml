pragma Singleton
import QtQuick

// The palette and type scale shared by the window's pieces.
QtObject {
    readonly property color ink: "#000000"
    readonly property color canvas: "#ffffff"
    readonly property color soft: Qt.rgba(239 / 255, 239 / 255, 239 / 255, 1)
    readonly property color softer: Qt.rgba(243 / 255, 243 / 255, 243 / 255, 1)
    readonly property color pressed: Qt.rgba(226 / 255, 226 / 255, 226 / 255, 1)
    readonly property color body: Qt.rgba(94 / 255, 94 / 255, 94 / 255, 1)
    readonly property color mute: Qt.rgba(175 / 255, 175 / 255, 175 / 255, 1)
    readonly property color elevated: Qt.rgba(40 / 255, 40 / 255, 40 / 255, 1)

    readonly property font displayLG: Qt.font({ pixelSize: 32, weight: Font.Bold })
    readonly property font displaySM: Qt.font({ pixelSize: 20, weight: Font.Bold })
    readonly property font bodyLG: Qt.font({ pixelSize: 17, weight: Font.Medium })
    readonly property font bodyMD: Qt.font({ pixelSize: 14 })
    readonly property font bodyStrong: Qt.font({ pixelSize: 14, weight: Font.Medium })
    readonly property font caption: Qt.font({ pixelSize: 12 })
}
