import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components

// Home: the two big actions, the latest register at a glance, the members' faces and the most
// recent services.
ScrollView {
    id: root
    required property AppModel appModel
    signal openService(string serviceID)
    signal newService()
    contentWidth: availableWidth
    clip: true

    ModelRevision {
        id: revision
        appModel: root.appModel
    }
    // The first service that is done and has results.
    readonly property var latest: {
        revision.value;
        const list = appModel.services;
        for (let i = 0; i < list.count; ++i) {
            const at = list.index(i, 0);
            if (list.data(at, ServiceListModel.StatusRole) === "done" && list.data(at, ServiceListModel.HasResultsRole))
                return appModel.service(list.data(at, ServiceListModel.IdRole));
        }
        return null;
    }

    ColumnLayout {
        width: Math.min(root.availableWidth - 64, 1100)
        x: 32
        spacing: 20

        Text {
            Layout.topMargin: 8
            text: "Attendance"
            font: Base.displayXL
            color: Base.ink
        }
        // Without face models taking attendance cannot work: say so, and how to get them, before
        // the operator tries.
        Card {
            objectName: "engineProblem"
            visible: root.appModel.engineError !== ""
            Layout.fillWidth: true
            // The text wraps to the column's width rather than widening the card.
            implicitWidth: 0
            padding: 16
            RowLayout {
                width: parent.width
                spacing: 12
                Icon {
                    symbol: "exclamationmark.triangle"
                    size: 18
                    color: Base.ink
                }
                Label {
                    Layout.fillWidth: true
                    text: root.appModel.engineError
                    wrapMode: Text.Wrap
                    textFormat: Text.PlainText
                    font: Base.bodyStrong
                    color: Base.ink
                }
            }
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 16
            BigAction {
                Layout.fillWidth: true
                symbol: "plus.viewfinder"
                title: "Take attendance"
                dark: true
                onClicked: root.newService()
            }
            BigAction {
                Layout.fillWidth: true
                symbol: "person.2"
                title: "Members"
                onClicked: root.appModel.gotoMembers()
            }
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 16
            // The latest register.
            Card {
                id: latestCard
                visible: root.latest !== null
                Layout.fillWidth: true
                Layout.preferredWidth: 2
                kind: "dark"
                padding: 20
                Accessible.role: Accessible.Button
                Accessible.name: "Open latest register"
                MouseArea {
                    width: latestCard.width - 2 * latestCard.padding
                    height: latestCard.height - 2 * latestCard.padding
                    cursorShape: Qt.PointingHandCursor
                    onClicked: root.openService(root.latest.serviceID)
                    Hint { text: "Open latest register" }
                }
                ColumnLayout {
                    width: latestCard.width - 2 * latestCard.padding
                    spacing: 14
                    RowLayout {
                        spacing: 8
                        Icon {
                            symbol: root.latest && root.latest.liveSource ? "dot.radiowaves.left.and.right" : "film"
                            size: 18
                            color: Base.canvas
                        }
                        Text {
                            Layout.fillWidth: true
                            text: root.latest ? root.latest.label : ""
                            font: Base.bodyLG
                            color: Base.canvas
                            elide: Text.ElideRight
                        }
                        Text {
                            text: root.latest ? Formats.shortDate(root.latest.date) : ""
                            font: Base.caption2Base
                            color: Base.mute
                        }
                    }
                    RowLayout {
                        spacing: 36
                        IconStat {
                            dark: true
                            symbol: "person.fill.checkmark"
                            value: root.latest ? root.latest.results.present : ""
                            hint: "Present"
                        }
                        IconStat {
                            dark: true
                            symbol: "person.fill.xmark"
                            value: root.latest ? root.latest.results.absent : ""
                            hint: "Absent"
                        }
                        IconStat {
                            dark: true
                            symbol: "person.fill.questionmark"
                            value: root.latest ? root.latest.results.visitors.length : ""
                            hint: "Visitors (estimate)"
                        }
                    }
                }
            }
            // Faces
            Card {
                id: faces
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                Layout.fillHeight: true
                kind: "soft"
                padding: 20
                ColumnLayout {
                    width: faces.width - 2 * faces.padding
                    spacing: 14
                    RowLayout {
                        spacing: 8
                        Icon { symbol: "face.smiling"; size: 18 }
                        Text { text: "Faces"; font: Base.bodyLG; color: Base.ink }
                    }
                    RowLayout {
                        spacing: 36
                        IconStat {
                            symbol: "checkmark.seal.fill"
                            value: root.appModel.recognisableCount
                            hint: "Members ready"
                        }
                        IconStat {
                            visible: root.appModel.needsAttention.length > 0
                            symbol: "exclamationmark.triangle"
                            value: root.appModel.needsAttention.length
                            hint: "Members needing photos"
                        }
                    }
                }
            }
        }
        // The six most recent services.
        GridView {
            id: recent
            Layout.fillWidth: true
            visible: root.appModel.services.count > 0
            readonly property int columns: Math.max(1, Math.floor(width / 260))
            readonly property int shown: Math.min(6, root.appModel.services.count)
            Layout.preferredHeight: Math.ceil(shown / columns) * cellHeight
            interactive: false
            cellWidth: width / columns
            cellHeight: 150
            cacheBuffer: 0
            model: root.appModel.services
            delegate: Item {
                required property int index
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
                width: recent.cellWidth
                height: recent.cellHeight
                visible: index < 6
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
        }
        Item { implicitHeight: 24 }
    }
}
