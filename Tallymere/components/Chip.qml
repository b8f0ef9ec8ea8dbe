import QtQuick

// A small capsule with a text and an optional icon; `kind` is "dark", "soft" or "outline".
Rectangle {
    id: root
    property string text: ""
    property string symbol: ""
    property string kind: "soft"
    property string hint: ""
    readonly property color ink: kind === "dark" ? Base.canvas : Base.ink

    implicitWidth: row.implicitWidth + 20
    implicitHeight: row.implicitHeight + 8
    radius: height / 2
    color: kind === "dark" ? Base.ink : kind === "soft" ? Base.soft : "transparent"
    border.width: kind === "outline" ? 1.5 : 0
    border.color: Base.ink
    Accessible.role: Accessible.StaticText
    Accessible.name: text
    Accessible.description: hint

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 4
        Icon {
            visible: root.symbol !== ""
            symbol: root.symbol
            size: 12
            font.weight: Font.Bold
            color: root.ink
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: root.text
            font.family: Base.family
            font.pixelSize: 12
            font.weight: Font.Medium
            color: root.ink
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    Hint {
        text: root.hint
    }
}
