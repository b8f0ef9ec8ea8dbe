import QtQuick
import QtQuick.Controls
import Tallymere.Components

// One register on a member's attendance strip: present (filled, a tick), absent (soft, empty),
// corrected by the operator (a pencil, filled when the member counts as present) or still to be
// double-checked (a question mark). A button: its hint names the service, a click opens it.
AbstractButton {
    id: root
    property string mark: "absent"
    property bool attended: false
    property string hint: ""
    readonly property bool filled: root.attended && root.mark !== "review"

    implicitWidth: 26
    implicitHeight: 26
    hoverEnabled: true
    Accessible.name: hint

    background: Rectangle {
        radius: 7
        color: root.filled ? Base.ink : root.hovered ? Base.pressed : Base.soft
        // An absent mark is outlined so that it reads as a service, not as a gap.
        border.width: root.filled ? 0 : 1.5
        border.color: root.mark === "absent" ? Base.mute : Base.ink
    }
    contentItem: Item {
        Icon {
            anchors.centerIn: parent
            visible: root.mark === "present" || root.mark === "corrected"
            symbol: root.mark === "corrected" ? "pencil" : "checkmark"
            size: 16
            color: root.filled ? Base.canvas : Base.ink
        }
        Text {
            anchors.centerIn: parent
            visible: root.mark === "review"
            text: "?"
            font: Base.bodyStrong
            color: Base.ink
        }
    }
    HoverHandler { cursorShape: Qt.PointingHandCursor }
    Hint { text: root.hint }
}
