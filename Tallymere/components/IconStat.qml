import QtQuick

// A figure for a card: icon above the value in the large display font; muted on dark cards.
Column {
    id: root
    property string symbol: ""
    property string value: ""
    property string hint: ""
    property bool dark: false
    spacing: 4
    Accessible.role: Accessible.StaticText
    Accessible.name: hint + ": " + value
    Icon {
        symbol: root.symbol
        size: 22
        color: root.dark ? Base.mute : Base.body
    }
    Text {
        text: root.value
        font: Base.displayLG
        color: root.dark ? Base.mute : Base.body
    }
    Hint {
        text: root.hint
    }
}
