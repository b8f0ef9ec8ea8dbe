import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere

// One member in the list: face thumbnail, name, id and how many photos passed the check.
Rectangle {
    id: row
    required property string memberID
    required property string name
    required property string thumbnailPath
    required property int photoCount
    required property int goodPhotos
    required property bool checking
    property bool writable: true
    signal addPhotos(string memberID)

    implicitHeight: 64
    radius: 12
    color: Theme.canvas
    border.color: Theme.soft

    RowLayout {
        anchors.fill: parent
        anchors.margins: 10
        spacing: 12
        FileImage {
            path: row.thumbnailPath
            size: 44
            circle: true
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Label {
                text: row.name
                font: Theme.bodyStrong
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Label {
                text: row.memberID + " \u00b7 " + row.goodPhotos + " of " + row.photoCount
                      + (row.photoCount === 1 ? " photo" : " photos") + " usable"
                font: Theme.caption
                color: row.goodPhotos < 3 ? Theme.body : Theme.mute
            }
        }
        BusyIndicator {
            visible: row.checking
            running: row.checking
            Layout.preferredWidth: 28
            Layout.preferredHeight: 28
        }
        Button {
            text: "Add Photos\u2026"
            enabled: row.writable
            opacity: enabled ? 1 : 0.4
            onClicked: row.addPhotos(row.memberID)
        }
    }
}
