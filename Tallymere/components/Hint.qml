import QtQuick
import QtQuick.Controls

// The hint of the item it fills: a tooltip while the pointer rests there. Items also set their
// Accessible.name or description to the same text so assistive technology reads it.
Item {
    id: root
    property string text: ""
    anchors.fill: parent
    HoverHandler {
        id: hover
    }
    ToolTip.visible: hover.hovered && root.text !== ""
    ToolTip.text: root.text
    ToolTip.delay: Base.hintDelay
}
