import QtQuick

// One symbol from the icon table, drawn as a Material Icons glyph at `size` pixels.
Text {
    id: root
    property string symbol: ""
    property real size: 16
    // The ligature is decorative; controls carry their own accessible names.
    text: Icons.glyph(symbol)
    font.family: Base.iconFamily
    font.pixelSize: size
    color: Base.ink
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    Accessible.ignored: true
}
