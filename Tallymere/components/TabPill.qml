import QtQuick
import QtQuick.Controls

// One results tab: icon and count in a capsule, ink when `selected` equals `tag`. Tapping selects
// `tag` through `activated`; `hint` is its tooltip and its accessible name.
AbstractButton {
    id: control
    property string tag: ""
    property string symbol: ""
    property int count: 0
    property string hint: ""
    property string selected: ""
    readonly property bool isSelected: selected === tag
    signal activated(string tag)

    checkable: false
    hoverEnabled: true
    implicitWidth: row.implicitWidth + 24
    implicitHeight: row.implicitHeight + 12
    onClicked: activated(tag)
    ToolTip.visible: hovered && hint !== ""
    ToolTip.text: hint
    ToolTip.delay: Base.hintDelay
    Accessible.role: Accessible.PageTab
    Accessible.name: hint
    Accessible.description: String(count)

    background: Rectangle {
        radius: height / 2
        color: control.isSelected ? Base.ink : control.down ? Base.pressed : "transparent"
    }
    contentItem: Item {
        Row {
            id: row
            anchors.centerIn: parent
            spacing: 6
            Icon {
                symbol: control.symbol
                size: 16
                color: control.isSelected ? Base.canvas : Base.ink
                anchors.verticalCenter: parent.verticalCenter
            }
            Text {
                text: control.count
                font: Base.bodyStrongMono
                color: control.isSelected ? Base.canvas : Base.ink
                anchors.verticalCenter: parent.verticalCenter
            }
        }
    }
}
