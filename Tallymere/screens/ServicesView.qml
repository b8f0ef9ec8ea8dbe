import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// Every service as a card, newest first, or the hint to take attendance when there are none, under
// the trend: present members and visitors per finished service over time with the 4- and
// 12-service averages, for all services or one label, and the attendance report to export. A
// service folder whose record cannot be read gets a card with the reason and "Remove", which
// moves the folder aside.
Item {
    id: root
    required property AppModel appModel
    signal openService(string serviceID)
    signal newService()
    readonly property TrendModel trend: appModel.attendance.trend

    function startReport() {
        reportDialog.selectedFile = reportDialog.currentFolder.toString() + "/attendance-report.csv";
        reportDialog.open();
    }
    FileDialog {
        id: reportDialog
        title: "Export report"
        fileMode: FileDialog.SaveFile
        acceptLabel: "Save"
        defaultSuffix: "csv"
        nameFilters: ["Comma-separated values (*.csv)"]
        currentFolder: Desktop.documentsFolder()
        onAccepted: root.appModel.exportReport(selectedFile, root.trend.label)
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 32
        anchors.rightMargin: 32
        spacing: 16
        RowLayout {
            Layout.fillWidth: true
            Text {
                Layout.fillWidth: true
                text: "Services"
                font: Base.displayXL
                color: Base.ink
            }
            PillButton {
                objectName: "exportReportButton"
                visible: root.trend.count > 0
                kind: "subtle"
                symbol: "square.and.arrow.down"
                text: "Export report\u2026"
                hint: "Every member's attendance over the services on the chart (CSV)"
                onClicked: root.startReport()
            }
            CircleIconButton {
                symbol: "plus"
                hint: "Take attendance (Ctrl+N)"
                enabled: root.appModel.writable
                onClicked: root.newService()
            }
        }
        TrendChart {
            objectName: "trendChart"
            visible: root.trend.count > 0
            Layout.fillWidth: true
            Layout.preferredHeight: 300
            trend: root.trend
        }
        Label {
            objectName: "servicesProblem"
            visible: text !== ""
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            text: root.appModel.servicesProblem
            font: Base.bodyStrong
        }
        Repeater {
            model: root.appModel.unreadableServices
            delegate: Card {
                objectName: "unreadableService"
                required property var modelData
                Layout.fillWidth: true
                kind: "soft"
                padding: 16
                RowLayout {
                    width: parent.width
                    spacing: 12
                    Icon { symbol: "exclamationmark.triangle"; size: 18 }
                    Label {
                        Layout.fillWidth: true
                        wrapMode: Text.Wrap
                        text: modelData.problem
                        font: Base.bodyMD
                    }
                    PillButton {
                        objectName: "setAsideService"
                        kind: "subtle"
                        symbol: "trash"
                        text: "Remove"
                        hint: "Moves the service's folder aside; nothing is deleted"
                        enabled: root.appModel.writable
                        onClicked: root.appModel.setAsideService(modelData.serviceID)
                    }
                }
            }
        }
        EmptyHint {
            visible: root.appModel.services.count === 0 && root.appModel.unreadableServices.length === 0
            Layout.fillWidth: true
            symbol: "plus.viewfinder"
            text: "Take attendance"
            onClicked: root.newService()
        }
        GridView {
            id: grid
            objectName: "serviceGrid"
            visible: root.appModel.services.count > 0
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            readonly property int columns: Math.max(1, Math.floor(width / 260))
            cellWidth: width / columns
            cellHeight: 150
            model: root.appModel.services
            delegate: Item {
                required property string serviceID
                required property string label
                required property date date
                required property string liveSource
                required property string status
                required property real progress
                required property string message
                required property bool hasResults
                required property int present
                required property int absent
                required property int visitors
                width: grid.cellWidth
                height: grid.cellHeight
                ServiceCard {
                    anchors.fill: parent
                    anchors.margins: 6
                    serviceID: parent.serviceID
                    label: parent.label
                    date: parent.date
                    liveSource: parent.liveSource
                    status: parent.status
                    progress: parent.progress
                    message: parent.message
                    hasResults: parent.hasResults
                    present: parent.present
                    absent: parent.absent
                    visitors: parent.visitors
                    onOpened: id => root.openService(id)
                }
            }
            ScrollBar.vertical: ScrollBar {}
        }
        Item { visible: root.appModel.services.count === 0; Layout.fillHeight: true }
    }
}
