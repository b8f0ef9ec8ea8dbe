import QtQuick
import QtQuick.Controls

// A wide tappable card: icon, title and an arrow; ink with canvas text when `dark`.
AbstractButton {
    id: control
    property string symbol: ""
    property string title: ""
    property bool dark: false
    readonly property color ink: dark ? Base.canvas : Base.ink
    implicitHeight: 72
    implicitWidth: 260
    hoverEnabled: true
    Accessible.role: Accessible.Button
    Accessible.name: title
    background: Rectangle {
        radius: 16
        color: control.dark ? (control.down ? Base.elevated : Base.ink)
                            : (control.down ? Base.pressed : Base.soft)
    }
    contentItem: Item {
        Icon {
            id: icon
            anchors.left: parent.left
            anchors.leftMargin: 20
            anchors.verticalCenter: parent.verticalCenter
            symbol: control.symbol
            size: 26
            color: control.ink
        }
        Text {
            anchors.left: icon.right
            anchors.leftMargin: 14
            anchors.right: arrow.left
            anchors.verticalCenter: parent.verticalCenter
            text: control.title
            font: Base.displaySM
            color: control.ink
            elide: Text.ElideRight
        }
        Icon {
            id: arrow
            anchors.right: parent.right
            anchors.rightMargin: 20
            anchors.verticalCenter: parent.verticalCenter
            symbol: "arrow.right"
            size: 20
            color: control.ink
        }
    }
}
