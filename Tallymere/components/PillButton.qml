import QtQuick
import QtQuick.Controls

// A capsule button in the pill style: `kind` is "primary", "subtle", "secondary" or "onDark";
// `large` for the big form; `symbol` an optional icon before the text; `hint` its tooltip.
Button {
    id: control
    property string kind: "primary"
    property bool large: false
    property string symbol: ""
    property string hint: ""

    readonly property color fill: {
        if (kind === "primary")
            return down ? Base.elevated : Base.ink;
        if (kind === "subtle")
            return down ? Base.pressed : Base.soft;
        return down ? Base.pressed : Base.canvas;
    }
    readonly property color ink: kind === "primary" ? Base.canvas : Base.ink

    font: large ? Qt.font({ family: Base.family, pixelSize: 16, weight: Font.Medium }) : Base.bodyStrong
    leftPadding: large ? 20 : 14
    rightPadding: large ? 20 : 14
    topPadding: large ? 14 : 8
    bottomPadding: large ? 14 : 8
    opacity: enabled ? 1 : 0.4
    hoverEnabled: true
    ToolTip.visible: hovered && hint !== ""
    ToolTip.text: hint
    ToolTip.delay: Base.hintDelay
    Accessible.name: text
    Accessible.description: hint

    contentItem: Row {
        spacing: 6
        Icon {
            visible: control.symbol !== ""
            symbol: control.symbol
            size: control.font.pixelSize + 2
            color: control.ink
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: control.text
            font: control.font
            color: control.ink
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    background: Rectangle {
        implicitHeight: control.large ? 48 : 32
        radius: height / 2
        color: control.fill
        border.width: control.kind === "secondary" ? 1 : 0
        border.color: Base.soft
    }
}
