import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere

// One service in the list: label, date, status and message, progress while it waits or runs, and
// the actions its status allows.
Rectangle {
    id: row
    required property string serviceID
    required property string label
    required property date date
    required property string status
    required property real progress
    required property string message
    required property var sourcePaths
    required property int present
    required property int absent
    required property int needsReview
    required property bool hasResults
    property AppModel appModel
    property bool writable: true
    signal opened(string serviceID)

    implicitHeight: layout.implicitHeight + 20
    radius: 12
    color: mouse.containsMouse ? Theme.softer : Theme.canvas
    border.color: Theme.soft

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        onClicked: row.opened(row.serviceID)
    }

    RowLayout {
        id: layout
        anchors.fill: parent
        anchors.margins: 10
        spacing: 12

        Text {
            Layout.preferredWidth: 24
            horizontalAlignment: Text.AlignHCenter
            font.family: "Material Icons"
            font.pixelSize: 20
            color: row.status === "failed" ? "#b00020" : Theme.body
            text: ({ queued: "schedule", processing: "autorenew", done: "check_circle",
                     failed: "error_outline", cancelled: "highlight_off" })[row.status] || ""
            Accessible.name: row.status
        }

        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4
            Label {
                text: row.label
                font: Theme.bodyStrong
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Label {
                text: Qt.formatDate(row.date, "d MMMM yyyy") + " \u00b7 " + row.status
                      + (row.message ? " \u00b7 " + row.message : "")
                font: Theme.caption
                color: Theme.body
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            ProgressBar {
                Layout.fillWidth: true
                visible: row.status === "processing" || row.status === "queued"
                from: 0
                to: 1
                value: row.progress
                indeterminate: row.status === "processing" && row.progress === 0
            }
            Label {
                visible: row.hasResults
                text: "Present " + row.present + " \u00b7 To double-check " + row.needsReview
                      + " \u00b7 Absent " + row.absent
                font: Theme.caption
                color: Theme.body
            }
        }

        Button {
            text: "Cancel"
            visible: row.status === "queued" || row.status === "processing"
            enabled: row.writable
            opacity: enabled ? 1 : 0.4
            onClicked: row.appModel.cancel(row.serviceID)
        }
        Button {
            text: "Process again"
            visible: (row.status === "done" || row.status === "failed"
                      || row.status === "cancelled") && row.sourcePaths.length > 0
            enabled: row.writable
            opacity: enabled ? 1 : 0.4
            onClicked: row.appModel.enqueue(row.serviceID)
        }
    }
}
