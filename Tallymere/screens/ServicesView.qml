import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components

// Every service as a card, newest first, or the hint to take attendance when there are none.
Item {
    id: root
    required property AppModel appModel
    signal openService(string serviceID)
    signal newService()

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
            CircleIconButton {
                symbol: "plus"
                hint: "Take attendance (Ctrl+N)"
                enabled: root.appModel.writable
                onClicked: root.newService()
            }
        }
        EmptyHint {
            visible: root.appModel.services.count === 0
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
