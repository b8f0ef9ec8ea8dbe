import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// Home: the two big actions, the latest register at a glance, the members' faces, the members to
// follow up and the most recent services.
ScrollView {
    id: root
    required property AppModel appModel
    signal openService(string serviceID)
    signal newService()
    signal openMember(string memberID)
    signal showAway()
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
        // The members away from the last services, so someone can call them; shown once there is
        // a register to tell.
        Card {
            id: followUpCard
            objectName: "followUpCard"
            readonly property var followUp: root.appModel.attendance.followUp
            // The first rows; the rest are under the members page's "Away".
            readonly property int shownRows: 8
            visible: root.appModel.attendance.trend.count > 0
            Layout.fillWidth: true
            implicitWidth: 0
            kind: "soft"
            padding: 20
            ColumnLayout {
                width: followUpCard.width - 2 * followUpCard.padding
                spacing: 12
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 8
                    Icon { symbol: "person.fill.xmark"; size: 18 }
                    Text {
                        Layout.fillWidth: true
                        text: "Follow up"
                        font: Base.bodyLG
                        color: Base.ink
                    }
                    Text {
                        text: "Away from"
                        font: Base.caption2Base
                        color: Base.body
                    }
                    SpinBox {
                        id: missedChooser
                        objectName: "missedChooser"
                        from: followUpCard.followUp.fewestMissed
                        to: followUpCard.followUp.mostMissed
                        value: followUpCard.followUp.missed
                        editable: false
                        Layout.preferredWidth: 104
                        font: Base.bodyStrong
                        onValueModified: followUpCard.followUp.missed = value
                        Accessible.name: "Services missed in a row"
                    }
                    Text {
                        text: "services"
                        font: Base.caption2Base
                        color: Base.body
                    }
                }
                Text {
                    objectName: "followUpEmpty"
                    visible: followUpCard.followUp.count === 0
                    text: "Everyone has been seen in the last " + followUpCard.followUp.missed + " services"
                    font: Base.bodyMD
                    color: Base.body
                }
                Repeater {
                    objectName: "followUpRows"
                    model: followUpCard.followUp
                    delegate: AbstractButton {
                        id: row
                        required property int index
                        required property string memberID
                        required property string name
                        required property int absenceRun
                        required property var lastSeen
                        required property string thumbnailPath
                        readonly property string summary: Rules.awayText(absenceRun, Formats.shortDate(lastSeen))
                        visible: index < followUpCard.shownRows
                        Layout.fillWidth: true
                        hoverEnabled: true
                        Accessible.name: name + ", " + summary
                        onClicked: root.openMember(memberID)
                        background: Rectangle {
                            radius: 10
                            color: row.hovered ? Base.pressed : "transparent"
                        }
                        contentItem: RowLayout {
                            spacing: 12
                            FileImage {
                                size: 32
                                circle: true
                                backdrop: row.hovered ? Base.pressed : Base.soft
                                source: ImageCache.source(row.thumbnailPath, 32, ImageCache.generation)
                            }
                            Text {
                                Layout.preferredWidth: 220
                                text: row.name
                                font: Base.bodyStrong
                                color: Base.ink
                                elide: Text.ElideRight
                            }
                            Text {
                                Layout.fillWidth: true
                                text: row.summary
                                font: Base.bodyMD
                                color: Base.body
                                elide: Text.ElideRight
                            }
                        }
                        HoverHandler { cursorShape: Qt.PointingHandCursor }
                    }
                }
                PillButton {
                    objectName: "showAllAway"
                    visible: followUpCard.followUp.count > followUpCard.shownRows
                    kind: "secondary"
                    text: "All " + followUpCard.followUp.count + " under Away"
                    onClicked: root.showAway()
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
