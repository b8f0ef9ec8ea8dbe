import QtQuick

// Icon and number side by side in the body colour; `hint` is its tooltip.
Row {
    id: root
    property string symbol: ""
    property int value: 0
    property string hint: ""
    spacing: 5
    Accessible.role: Accessible.StaticText
    Accessible.name: hint + ": " + value
    Icon {
        symbol: root.symbol
        size: 14
        color: Base.body
        anchors.verticalCenter: parent.verticalCenter
    }
    Text {
        text: root.value
        font: Base.bodyStrongMono
        color: Base.body
        anchors.verticalCenter: parent.verticalCenter
    }
    Hint {
        text: root.hint
    }
}
