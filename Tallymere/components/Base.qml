pragma Singleton
import QtQuick

// The grey palette and the type scale every screen draws with. Text is set in Inter, standing for
// the system font; icons come from the Material Icons font by ligature name (see Icons).
QtObject {
    function grey(v) { return Qt.rgba(v / 255, v / 255, v / 255, 1); }

    readonly property color ink: "#000000"
    readonly property color canvas: "#ffffff"
    readonly property color soft: grey(239)
    readonly property color softer: grey(243)
    readonly property color pressed: grey(226)
    readonly property color body: grey(94)
    readonly property color mute: grey(175)
    readonly property color elevated: grey(40)

    readonly property string family: "Inter"
    readonly property string iconFamily: "Material Icons"

    readonly property font displayXL: Qt.font({ family: family, pixelSize: 36, weight: Font.Bold })
    readonly property font displayLG: Qt.font({ family: family, pixelSize: 32, weight: Font.Bold })
    readonly property font displaySM: Qt.font({ family: family, pixelSize: 20, weight: Font.Bold })
    readonly property font bodyLG: Qt.font({ family: family, pixelSize: 17, weight: Font.Medium })
    readonly property font bodyMD: Qt.font({ family: family, pixelSize: 14, weight: Font.Normal })
    readonly property font bodyStrong: Qt.font({ family: family, pixelSize: 14, weight: Font.Medium })
    readonly property font caption2Base: Qt.font({ family: family, pixelSize: 12, weight: Font.Normal })
    // Figures that change while one looks at them (progress messages, clocks). Qt 6.4 cannot ask
    // Inter for its tabular figures, so this is the strong body font for now.
    readonly property font bodyStrongMono: Qt.font({ family: family, pixelSize: 14, weight: Font.Medium })

    // How long a pointer rests on a control before its hint shows.
    readonly property int hintDelay: 500
}
