import QtQuick
import QtQuick.Shapes

// The faces of the latest analysed frame drawn over a preview that fits the frame inside itself:
// a solid outline and a name tag for a recognised face, a faint dashed outline for anyone else.
// `faces` holds objects with `box` ([x1, y1, x2, y2] in frame pixels), `memberID` (empty or
// undefined when not recognised) and `trackID` (the person followed; faces without one are keyed
// by their place in the list); `nameOf(memberID)` gives the tag's text. Each track keeps its box
// from frame to frame, so a moving face's box glides to its new place.
Item {
    id: root
    property var faces: []
    property real frameWidth: 16
    property real frameHeight: 9
    property var nameOf: function(memberID) { return memberID; }

    onFacesChanged: sync()
    Component.onCompleted: sync()

    // Updates the boxes in place: a track seen again moves its box, a new one adds a box, a track
    // no longer seen removes its own.
    function sync() {
        const list = faces || [];
        const wanted = {};
        for (let i = 0; i < list.length; ++i) {
            const f = list[i];
            const key = f.trackID !== undefined ? "t" + f.trackID : "i" + i;
            wanted[key] = { key: key, x1: f.box[0], y1: f.box[1], x2: f.box[2], y2: f.box[3],
                            memberID: f.memberID ? f.memberID : "" };
        }
        for (let i = boxes.count - 1; i >= 0; --i)
            if (wanted[boxes.get(i).key] === undefined)
                boxes.remove(i);
        for (const key in wanted) {
            let at = -1;
            for (let i = 0; i < boxes.count; ++i)
                if (boxes.get(i).key === key) { at = i; break; }
            if (at < 0)
                boxes.append(wanted[key]);
            else
                boxes.set(at, wanted[key]);
        }
    }
    ListModel { id: boxes }

    Repeater {
        model: boxes
        delegate: Item {
            id: face
            required property string key
            required property real x1
            required property real y1
            required property real x2
            required property real y2
            required property string memberID
            readonly property bool recognised: memberID !== ""
            readonly property var rect: FaceGeometry.faceRect([x1, y1, x2, y2], root.width, root.height,
                                                              root.frameWidth, root.frameHeight)
            objectName: "face" + key.substring(1)
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
                    text: face.recognised ? root.nameOf(face.memberID) : ""
                    font.family: Base.family
                    font.pixelSize: 11
                    font.weight: Font.DemiBold
                    color: "black"
                }
            }
        }
    }
}
