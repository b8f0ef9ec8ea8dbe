import QtQuick
import QtQuick.Shapes

// A photo or thumbnail in a square of `size` points, clipped to a circle or to a rounded square,
// on the soft colour, the picture cropped to fill it. `source` is the picture as the image cache
// serves it (decoded in the background at twice the size); while there is none, or when the file
// is missing or unreadable, a person symbol stands in. `grey` shows the picture without colour (rejected
// photos), as the image cache serves it with "/grey" after the key.
//
// The corners are cut by painting them in `backdrop`, the colour the image sits on: rounding a
// picture otherwise needs a shader effect, which this build does without.
Item {
    id: root
    property url source
    property real size: 40
    property bool circle: false
    property bool grey: false
    property color backdrop: Base.canvas
    readonly property bool loaded: image.status === Image.Ready
    readonly property real radius: circle ? size / 2 : 12
    readonly property real cut: Math.min(radius, width / 2)

    implicitWidth: size
    implicitHeight: size
    width: size
    height: size

    Rectangle {
        anchors.fill: parent
        radius: root.radius
        color: Base.soft
    }
    Icon {
        anchors.centerIn: parent
        visible: !root.loaded
        symbol: "person.fill"
        size: root.size * 0.35
        color: Base.mute
    }
    Image {
        id: image
        anchors.fill: parent
        asynchronous: true
        cache: false // the image cache keeps decoded files by key
        fillMode: Image.PreserveAspectCrop
        source: root.grey && root.source.toString() !== "" ? root.source + "/grey" : root.source
        sourceSize: Qt.size(root.size * 2, root.size * 2)
        visible: root.loaded
    }
    // The four corners outside the rounded shape, filled with the backdrop.
    Shape {
        anchors.fill: parent
        visible: root.loaded
        ShapePath {
            fillColor: root.backdrop
            strokeColor: "transparent"
            fillRule: ShapePath.OddEvenFill
            // The outer edge lies a pixel outside, so its antialiasing leaves no seam.
            startX: -1; startY: -1
            PathLine { x: root.width + 1; y: -1 }
            PathLine { x: root.width + 1; y: root.height + 1 }
            PathLine { x: -1; y: root.height + 1 }
            PathLine { x: -1; y: -1 }
            PathMove { x: root.cut; y: 0 }
            PathLine { x: root.width - root.cut; y: 0 }
            PathArc { x: root.width; y: root.cut; radiusX: root.cut; radiusY: root.cut }
            PathLine { x: root.width; y: root.height - root.cut }
            PathArc { x: root.width - root.cut; y: root.height; radiusX: root.cut; radiusY: root.cut }
            PathLine { x: root.cut; y: root.height }
            PathArc { x: 0; y: root.height - root.cut; radiusX: root.cut; radiusY: root.cut }
            PathLine { x: 0; y: root.cut }
            PathArc { x: root.cut; y: 0; radiusX: root.cut; radiusY: root.cut }
        }
    }
}
