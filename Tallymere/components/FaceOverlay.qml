import QtQuick
import QtQuick.Shapes

// The faces of the latest analysed frame drawn over a preview that fits the frame inside itself:
// a solid outline and a name tag for a recognised face, a faint dashed outline for anyone else.
// `faces` holds objects with `box` ([x1, y1, x2, y2] in frame pixels) and `memberID` (empty or
// undefined when not recognised); `nameOf(memberID)` gives the tag's text.
Item {
    id: root
    property var faces: []
    property real frameWidth: 16
    property real frameHeight: 9
    property var nameOf: function(memberID) { return memberID; }

    Repeater {
        model: root.faces
        delegate: Item {
            id: face
            required property var modelData
            required property int index
            readonly property bool recognised: !!modelData.memberID
            readonly property var rect: FaceGeometry.faceRect(modelData.box, root.width, root.height,
                                                              root.frameWidth, root.frameHeight)
            objectName: "face" + index
            x: rect.x
            y: rect.y
            width: rect.width
            height: rect.height
            Behavior on x { NumberAnimation { duration: 200; easing.type: Easing.OutQuad } }
            Behavior on y { NumberAnimation { duration: 200; easing.type: Easing.OutQuad } }
            Behavior on width { NumberAnimation { duration: 200; easing.type: Easing.OutQuad } }
            Behavior on height { NumberAnimation { duration: 200; easing.type: Easing.OutQuad } }

            // The outline lies inside the box's edge.
            Rectangle {
                visible: face.recognised
                anchors.fill: parent
                radius: 6
                color: "transparent"
                border.color: "white"
                border.width: 2.5
            }
            Shape {
                visible: !face.recognised
                anchors.fill: parent
                opacity: 0.5
                ShapePath {
                    readonly property real inset: 0.75
                    readonly property real r: 6 - inset
                    strokeColor: "white"
                    strokeWidth: 1.5
                    strokeStyle: ShapePath.DashLine
                    dashPattern: [4 / 1.5, 3 / 1.5] // 4 points on, 3 off
                    fillColor: "transparent"
                    startX: 6; startY: inset
                    PathLine { x: face.width - 6; y: 0.75 }
                    PathArc { x: face.width - 0.75; y: 6; radiusX: 5.25; radiusY: 5.25 }
                    PathLine { x: face.width - 0.75; y: face.height - 6 }
                    PathArc { x: face.width - 6; y: face.height - 0.75; radiusX: 5.25; radiusY: 5.25 }
                    PathLine { x: 6; y: face.height - 0.75 }
                    PathArc { x: 0.75; y: face.height - 6; radiusX: 5.25; radiusY: 5.25 }
                    PathLine { x: 0.75; y: 6 }
                    PathArc { x: 6; y: 0.75; radiusX: 5.25; radiusY: 5.25 }
                }
            }
            // The name tag: centred on the box's top edge, then 20 points up.
            Rectangle {
                objectName: "tag"
                visible: face.recognised
                x: (face.width - width) / 2
                y: -20
                width: tagText.implicitWidth + 14
                height: tagText.implicitHeight + 4
                radius: height / 2
                color: "white"
                Text {
                    id: tagText
                    anchors.centerIn: parent
                    text: face.recognised ? root.nameOf(face.modelData.memberID) : ""
                    font.family: Base.family
                    font.pixelSize: 11
                    font.weight: Font.DemiBold
                    color: "black"
                }
            }
        }
    }
}
