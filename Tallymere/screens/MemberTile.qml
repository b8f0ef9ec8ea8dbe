import QtQuick
import QtQuick.Controls
import Tallymere
import Tallymere.Components

// One member in the grid: the face as a circle, the name, good photos of all, and a status icon.
Item {
    id: tile
    required property string memberID
    required property string name
    required property string thumbnailPath
    required property int photoCount
    required property int goodPhotos
    required property bool checking
    required property bool needsMorePhotos
    required property string readiness
    readonly property var status: Rules.memberStatus(checking, goodPhotos, needsMorePhotos, readiness)
    signal opened(string memberID)
    Accessible.role: Accessible.Button
    Accessible.name: name
    Accessible.description: status[1]

    Rectangle {
        anchors.fill: parent
        anchors.margins: 6
        radius: 16
        color: mouse.containsMouse ? Base.softer : Base.canvas
        MouseArea {
            id: mouse
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            onClicked: tile.opened(tile.memberID)
        }
        Column {
            anchors.centerIn: parent
            spacing: 6
            FileImage {
                anchors.horizontalCenter: parent.horizontalCenter
                size: 84
                circle: true
                backdrop: mouse.containsMouse ? Base.softer : Base.canvas
                source: ImageCache.source(tile.thumbnailPath, 84, ImageCache.generation)
            }
            Text {
                width: 140
                horizontalAlignment: Text.AlignHCenter
                text: tile.name
                font: Base.bodyStrong
                color: Base.ink
                elide: Text.ElideRight
            }
            Row {
                anchors.horizontalCenter: parent.horizontalCenter
                spacing: 10
                Row {
                    spacing: 4
                    Icon { symbol: "photo"; size: 13; color: Base.body; anchors.verticalCenter: parent.verticalCenter }
                    Text {
                        text: tile.goodPhotos + "/" + tile.photoCount
                        font: Base.caption2Base
                        color: Base.body
                        anchors.verticalCenter: parent.verticalCenter
                    }
                }
                Item {
                    width: 16
                    height: 16
                    Spinner { anchors.centerIn: parent; visible: tile.checking; size: 12 }
                    Icon {
                        anchors.centerIn: parent
                        visible: !tile.checking
                        symbol: tile.status[0]
                        size: 15
                        color: Base.body
                    }
                    Hint { text: tile.status[1] }
                }
            }
        }
    }
}
