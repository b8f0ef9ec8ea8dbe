import QtQuick
import QtQuick.Controls
import QtQuick.Shapes

// What to do first on an empty list: one large tappable card with a 40-point icon and the text,
// edged with a dashed line.
AbstractButton {
    id: control
    property string symbol: ""
    implicitHeight: 180
    implicitWidth: 400
    Accessible.role: Accessible.Button
    Accessible.name: text
    background: Item {
        Rectangle {
            anchors.fill: parent
            radius: 16
            color: control.down ? Base.softer : "transparent"
        }
        Shape {
            anchors.fill: parent
            ShapePath {
                strokeColor: Base.mute
                strokeWidth: 2
                strokeStyle: ShapePath.DashLine
                dashPattern: [3, 3] // in line widths: 6 on, 6 off
                fillColor: "transparent"
                startX: 16; startY: 1
                PathLine { x: control.width - 16; y: 1 }
                PathArc { x: control.width - 1; y: 16; radiusX: 15; radiusY: 15 }
                PathLine { x: control.width - 1; y: control.height - 16 }
                PathArc { x: control.width - 16; y: control.height - 1; radiusX: 15; radiusY: 15 }
                PathLine { x: 16; y: control.height - 1 }
                PathArc { x: 1; y: control.height - 16; radiusX: 15; radiusY: 15 }
                PathLine { x: 1; y: 16 }
                PathArc { x: 16; y: 1; radiusX: 15; radiusY: 15 }
            }
        }
    }
    contentItem: Column {
        spacing: 10
        topPadding: (control.height - implicitHeight) / 2
        Icon {
            anchors.horizontalCenter: parent.horizontalCenter
            symbol: control.symbol
            size: 40
            color: Base.body
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: control.text
            font: Base.bodyStrong
            color: Base.body
        }
    }
}
