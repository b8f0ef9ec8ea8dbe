import QtQuick
import QtQuick.Controls
import Tallymere.Components

// One row of the sidebar: a 20-point icon and the title, canvas on ink when selected.
AbstractButton {
    id: control
    property string symbol: ""
    property string title: ""
    property bool selected: false
    property bool dot: false
    property string hint: ""
    implicitHeight: 36
    hoverEnabled: true
    Accessible.role: Accessible.Button
    Accessible.name: title
    Accessible.description: hint
    ToolTip.visible: hovered && hint !== ""
    ToolTip.text: hint
    ToolTip.delay: Base.hintDelay
    background: Rectangle {
        radius: 10
        color: control.selected ? Base.ink : control.down ? Base.pressed : control.hovered ? Base.soft : "transparent"
    }
    contentItem: Row {
        leftPadding: 10
        spacing: 10
        Item {
            width: 20
            height: 20
            anchors.verticalCenter: parent.verticalCenter
            Icon {
                anchors.centerIn: parent
                visible: !control.dot
                symbol: control.symbol
                size: 18
                color: control.selected ? Base.canvas : Base.ink
            }
            Rectangle {
                anchors.centerIn: parent
                visible: control.dot
                width: 8
                height: 8
                radius: 4
                color: "#e0245e"
            }
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: control.title
            font: Base.bodyStrong
            color: control.selected ? Base.canvas : Base.ink
        }
    }
}
