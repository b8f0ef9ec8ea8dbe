import QtQuick
import QtQuick.Controls

// One choice of where attendance comes from: icon above title, ink when `selected` equals `kind`.
AbstractButton {
    id: control
    property string kind: ""
    property string symbol: ""
    property string title: ""
    property string selected: ""
    readonly property bool isSelected: selected === kind
    signal chosen(string kind)
    implicitHeight: 76
    implicitWidth: 120
    onClicked: chosen(kind)
    Accessible.role: Accessible.RadioButton
    Accessible.name: title
    Accessible.checked: isSelected
    background: Rectangle {
        radius: 14
        color: control.isSelected ? Base.ink : control.down ? Base.pressed : Base.soft
    }
    contentItem: Column {
        spacing: 6
        topPadding: 12
        Icon {
            anchors.horizontalCenter: parent.horizontalCenter
            symbol: control.symbol
            size: 24
            color: control.isSelected ? Base.canvas : Base.ink
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: control.title
            font: Base.bodyStrong
            color: control.isSelected ? Base.canvas : Base.ink
        }
    }
}
