import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import QtCharts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// The trend of attendance: present members and visitors per finished service, one point per
// service on a date axis, with the 4- and 12-service averages of present members, the change
// between them, a label filter, and a hint with a service's exact figures under the pointer.
Rectangle {
    id: root
    required property TrendModel trend
    // The service under the pointer, as TrendModel.pointNear gives it; null when none.
    property var hovered: null
    readonly property real day: 24 * 3600 * 1000
    // Dates on the axis: days for a few months, months beyond.
    readonly property real span: trend.count > 0 ? trend.lastDate.getTime() - trend.firstDate.getTime() : 0

    radius: 16
    color: Base.soft

    function hover(point, state) {
        root.hovered = state ? root.trend.pointNear(point.x) : null;
        if (root.hovered) {
            const at = chart.mapToPosition(Qt.point(point.x, point.y), present);
            tip.x = Math.min(at.x + 12, chart.width - tip.width - 8);
            tip.y = Math.max(8, at.y - tip.height - 12);
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 14
        spacing: 4
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 6
            spacing: 12
            Text {
                text: "Attendance"
                font: Base.bodyLG
                color: Base.ink
            }
            Text {
                objectName: "trendSummary"
                Layout.fillWidth: true
                text: Rules.trendSummary(root.trend.average4, root.trend.average12, root.trend.change)
                font: Base.bodyMD
                color: Base.body
                elide: Text.ElideRight
            }
            ComboBox {
                id: labelChooser
                objectName: "trendLabel"
                Layout.preferredWidth: 220
                font: Base.bodyMD
                model: ["All services"].concat(root.trend.labels)
                currentIndex: Math.max(0, root.trend.labels.indexOf(root.trend.label) + 1)
                onActivated: index => root.trend.label = index === 0 ? "" : root.trend.labels[index - 1]
                Accessible.name: "Services on the chart"
            }
        }
        ChartView {
            id: chart
            Layout.fillWidth: true
            Layout.fillHeight: true
            antialiasing: true
            backgroundColor: Base.soft
            plotAreaColor: Base.soft
            margins { left: 0; right: 8; top: 4; bottom: 0 }
            legend.alignment: Qt.AlignTop
            legend.font: Base.caption2Base
            legend.labelColor: Base.body

            DateTimeAxis {
                id: dates
                min: root.trend.count > 0 ? new Date(root.trend.firstDate.getTime() - root.day) : new Date()
                max: root.trend.count > 0 ? new Date(root.trend.lastDate.getTime() + root.day) : new Date()
                format: root.span > 200 * root.day ? "MMM yyyy" : "d MMM"
                tickCount: 7
                labelsFont: Base.caption2Base
                labelsColor: Base.body
                gridLineColor: Base.pressed
            }
            ValueAxis {
                id: values
                min: 0
                // A multiple of the four intervals between ticks, so every tick is a whole number.
                max: Math.max(4, Math.ceil(root.trend.highest * 1.1 / 4) * 4)
                labelFormat: "%d"
                tickCount: 5
                labelsFont: Base.caption2Base
                labelsColor: Base.body
                gridLineColor: Base.pressed
            }
            LineSeries {
                id: present
                VXYModelMapper { model: root.trend; xColumn: TrendModel.DateColumn; yColumn: TrendModel.PresentColumn }
                name: "Present"
                axisX: dates
                axisY: values
                color: Base.ink
                width: 2
                pointsVisible: root.trend.count <= 60
                onHovered: (point, state) => root.hover(point, state)
            }
            LineSeries {
                id: visitors
                VXYModelMapper { model: root.trend; xColumn: TrendModel.DateColumn; yColumn: TrendModel.VisitorsColumn }
                name: "Visitors"
                axisX: dates
                axisY: values
                color: Base.mute
                width: 1.5
                onHovered: (point, state) => root.hover(point, state)
            }
            LineSeries {
                id: average4
                VXYModelMapper { model: root.trend; xColumn: TrendModel.DateColumn; yColumn: TrendModel.Average4Column }
                name: "4-service average"
                axisX: dates
                axisY: values
                color: Base.body
                width: 1.5
                style: Qt.DashLine
                onHovered: (point, state) => root.hover(point, state)
            }
            LineSeries {
                id: average12
                VXYModelMapper { model: root.trend; xColumn: TrendModel.DateColumn; yColumn: TrendModel.Average12Column }
                name: "12-service average"
                axisX: dates
                axisY: values
                color: Base.elevated
                width: 2.5
                style: Qt.DotLine
                onHovered: (point, state) => root.hover(point, state)
            }
        }
    }
    ToolTip {
        id: tip
        objectName: "trendHint"
        parent: chart
        visible: root.hovered !== null
        text: root.hovered ? Rules.trendHint(root.hovered.label, Formats.shortDate(root.hovered.date), root.hovered) : ""
        // Unwrapped, so the hint is as wide as its longest line rather than the chart.
        contentItem: Text {
            text: tip.text
            font: Base.caption2Base
            color: Base.ink
        }
    }
}
