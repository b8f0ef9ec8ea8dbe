import QtQuick
import Tallymere

// A photo or thumbnail from disk through the shared image cache: decoded in the background at
// twice the size, reloaded when the file is invalidated, a person symbol while there is none.
Item {
    id: root
    property string path: ""
    property real size: 40
    property bool circle: false
    property bool dim: false
    readonly property bool loaded: image.status === Image.Ready
    readonly property bool failed: image.status === Image.Error
    readonly property alias source: image.source

    implicitWidth: size
    implicitHeight: size

    Rectangle {
        anchors.fill: parent
        radius: root.circle ? width / 2 : 12
        color: Theme.soft
    }

    Text {
        anchors.centerIn: parent
        visible: !root.loaded
        text: "person"
        font.family: "Material Icons"
        font.pixelSize: root.size * 0.35
        color: Theme.mute
    }

    Image {
        id: image
        anchors.fill: parent
        asynchronous: true
        cache: false // the image cache keeps decoded files; this one would keep stale keys
        fillMode: Image.PreserveAspectCrop
        source: ImageCache.source(root.path, root.size, ImageCache.generation)
        visible: root.loaded
        opacity: root.dim ? 0.5 : 1
    }
}
