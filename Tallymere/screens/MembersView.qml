import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// The members: how many are recognisable, what needs fixing, a search, the photo guidelines and
// a grid of member tiles.
Item {
    id: root
    required property AppModel appModel
    property alias query: search.text
    property bool showIssues: false
    // Only the members to follow up (the home page's card lists the same).
    property bool awayOnly: false
    signal openMember(string memberID)
    signal newMember()

    ModelRevision {
        id: revision
        appModel: root.appModel
    }
    readonly property int issueCount: appModel.needsAttention.length + appModel.mislabelWarnings.length
    // The lines are made only while the popover shows them: each needs one member's record.
    readonly property var issues: {
        if (!showIssues)
            return [];
        revision.value;
        const members = appModel.needsAttention.map(id => appModel.member(id));
        return Rules.issues(members, appModel.mislabelWarnings);
    }

    MemberFilter {
        id: filter
        sourceModel: root.appModel.members
        query: root.query
        onlyListed: root.awayOnly
        listed: root.appModel.attendance.followUp.memberIDs
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 32
        anchors.rightMargin: 32
        spacing: 16

        RowLayout {
            Layout.fillWidth: true
            spacing: 14
            Text {
                text: "Members"
                font: Base.displayXL
                color: Base.ink
            }
            Row {
                spacing: 6
                Layout.alignment: Qt.AlignVCenter
                Accessible.role: Accessible.StaticText
                Accessible.name: "Recognisable / total: " + figure.text
                Icon { symbol: "checkmark.seal.fill"; size: 16; color: Base.body; anchors.verticalCenter: parent.verticalCenter }
                Text {
                    id: figure
                    objectName: "recognisableFigure"
                    text: root.appModel.recognisableCount + "/" + root.appModel.members.count
                    font: Base.bodyStrongMono
                    color: Base.body
                    anchors.verticalCenter: parent.verticalCenter
                }
                Hint { text: "Recognisable / total" }
            }
            Row {
                visible: root.appModel.checkingMembers.length > 0
                spacing: 6
                Spinner { anchors.verticalCenter: parent.verticalCenter }
                Text {
                    text: "Checking photos"
                    font: Base.caption2Base
                    color: Base.body
                    anchors.verticalCenter: parent.verticalCenter
                }
            }
            AbstractButton {
                id: issuesButton
                objectName: "issuesButton"
                visible: root.issueCount > 0
                implicitWidth: issuesChip.implicitWidth
                implicitHeight: issuesChip.implicitHeight
                hoverEnabled: true
                onClicked: root.showIssues = !root.showIssues
                ToolTip.visible: hovered
                ToolTip.text: "Things to fix"
                ToolTip.delay: Base.hintDelay
                Accessible.name: "Things to fix"
                contentItem: Chip {
                    id: issuesChip
                    kind: "outline"
                    symbol: "exclamationmark.triangle"
                    text: root.issueCount
                }
                Popup {
                    id: issuesPopup
                    y: parent.height + 6
                    visible: root.showIssues
                    // The chip itself toggles the list: a press on it must not close it first.
                    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutsideParent
                    onClosed: root.showIssues = false
                    padding: 16
                    width: 360
                    background: Rectangle { radius: 12; color: Base.canvas; border.color: Base.soft }
                    contentItem: Column {
                        spacing: 6
                        Repeater {
                            model: root.issues
                            delegate: Row {
                                required property string modelData
                                spacing: 6
                                Icon { symbol: "exclamationmark.triangle"; size: 14; color: Base.body }
                                Text {
                                    width: 360 - 32 - 20
                                    text: parent.modelData
                                    font: Base.bodyMD
                                    color: Base.ink
                                    wrapMode: Text.Wrap
                                }
                            }
                        }
                    }
                }
            }
            Item { Layout.fillWidth: true }
            AbstractButton {
                objectName: "awayFilter"
                visible: root.appModel.attendance.trend.count > 0
                implicitWidth: awayChip.implicitWidth
                implicitHeight: awayChip.implicitHeight
                onClicked: root.awayOnly = !root.awayOnly
                hoverEnabled: true
                ToolTip.visible: hovered
                ToolTip.text: root.appModel.attendance.followUp.count + " members away from the last " + root.appModel.attendance.followUp.missed + " services"
                ToolTip.delay: Base.hintDelay
                Accessible.name: "Away"
                contentItem: Chip {
                    id: awayChip
                    kind: root.awayOnly ? "dark" : "outline"
                    symbol: "person.fill.xmark"
                    text: "Away"
                }
            }
            TextField {
                id: search
                objectName: "searchField"
                Layout.preferredWidth: 220
                placeholderText: "Search"
                leftPadding: 30
                font: Base.bodyMD
                Icon {
                    x: 8
                    anchors.verticalCenter: parent.verticalCenter
                    symbol: "magnifyingglass"
                    size: 16
                    color: Base.body
                }
                background: Rectangle { radius: 10; color: Base.soft }
            }
            CircleIconButton {
                symbol: "person.badge.plus"
                hint: "Add member (Shift+Ctrl+N)"
                enabled: root.appModel.writable
                onClicked: root.newMember()
            }
        }
        PhotoGuidelines {}

        EmptyHint {
            visible: root.appModel.members.count === 0
            Layout.fillWidth: true
            symbol: "person.badge.plus"
            text: "Add member"
            onClicked: root.newMember()
        }
        GridView {
            id: grid
            objectName: "memberGrid"
            visible: root.appModel.members.count > 0
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            readonly property int columns: Math.max(1, Math.floor(width / 170))
            cellWidth: width / columns
            cellHeight: 180
            model: filter
            delegate: MemberTile {
                width: grid.cellWidth
                height: grid.cellHeight
                onOpened: id => root.openMember(id)
            }
            ScrollBar.vertical: ScrollBar {}
        }
        Item { visible: root.appModel.members.count === 0; Layout.fillHeight: true }
    }
}
