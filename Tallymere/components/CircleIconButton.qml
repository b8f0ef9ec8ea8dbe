import QtQuick
import QtQuick.Controls

// A 34-point round button showing only its icon, ink on soft; `hint` is its tooltip and its
// accessible name.
AbstractButton {
    id: control
    property string symbol: ""
    property string hint: ""
    implicitWidth: 34
    implicitHeight: 34
    hoverEnabled: true
    opacity: enabled ? 1 : 0.4
    ToolTip.visible: hovered && hint !== ""
    ToolTip.text: hint
    ToolTip.delay: Base.hintDelay
    Accessible.role: Accessible.Button
    Accessible.name: hint
    background: Rectangle {
        radius: width / 2
        color: control.down ? Base.pressed : Base.soft
    }
    contentItem: Icon {
        symbol: control.symbol
        size: 16
        font.weight: Font.Medium
        color: Base.ink
    }
}
