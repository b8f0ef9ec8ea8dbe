import QtQuick
import QtQuick.Controls

// The hint of the item it is declared in: a tooltip while the pointer rests on that item. A
// pointer handler, so it takes no room in rows and columns. Items also set their Accessible.name
// or description to the same text so assistive technology reads it.
HoverHandler {
    id: root
    property string text: ""
    readonly property ToolTip tip: ToolTip {
        parent: root.parent
        visible: root.hovered && root.text !== ""
        text: root.text
        delay: Base.hintDelay
    }
}
