import QtQuick
import QtQuick.Layouts
import Tallymere.Components

// One service in a grid: kind icon, label, date and status; the three figures once it has
// results, a progress bar while it waits or runs, otherwise its message.
Card {
    id: card
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
    signal opened(string serviceID)

    kind: "soft"
    padding: 16
    Accessible.role: Accessible.Button
    Accessible.name: label

    MouseArea {
        width: card.width - 2 * card.padding
        height: card.height - 2 * card.padding
        cursorShape: Qt.PointingHandCursor
        onClicked: card.opened(card.serviceID)
    }
    ColumnLayout {
        width: card.width - 2 * card.padding
        spacing: 8
        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Icon {
                symbol: card.liveSource !== "" ? "dot.radiowaves.left.and.right" : "film"
                size: 18
            }
            Text {
                Layout.fillWidth: true
                text: card.label
                font: Base.bodyLG
                color: Base.ink
                elide: Text.ElideRight
            }
            StatusIcon {
                status: card.status
            }
        }
        Text {
            text: Formats.shortDate(card.date)
            font: Base.caption2Base
            color: Base.body
        }
        Row {
            visible: card.status === "done" && card.hasResults
            spacing: 14
            MiniStat { symbol: "person.fill.checkmark"; value: card.present; hint: "Present" }
            MiniStat { symbol: "person.fill.xmark"; value: card.absent; hint: "Absent" }
            MiniStat { symbol: "person.fill.questionmark"; value: card.visitors; hint: "Visitors" }
        }
        BaseProgressBar {
            Layout.fillWidth: true
            visible: card.status === "processing" || card.status === "queued"
            value: card.status === "processing" ? card.progress : undefined
            hint: card.message
        }
        Text {
            Layout.fillWidth: true
            visible: !(card.status === "done" && card.hasResults) && card.status !== "processing"
                     && card.status !== "queued"
            text: card.message
            font: Base.caption2Base
            color: Base.body
            elide: Text.ElideRight
            maximumLineCount: 1
        }
    }
}
