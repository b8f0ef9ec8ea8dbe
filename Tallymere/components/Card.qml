import QtQuick

// Content on a rounded card: `kind` "soft" (soft fill), "elevated" (canvas with a soft shadow) or
// "dark" (ink fill); `padding` around the content. Children go into the padded area.
Item {
    id: root
    property string kind: "soft"
    property real padding: 16
    default property alias content: inner.data
    readonly property color fill: kind === "dark" ? Base.ink : kind === "elevated" ? Base.canvas : Base.soft

    implicitWidth: inner.childrenRect.width + 2 * padding
    implicitHeight: inner.childrenRect.height + 2 * padding

    // A soft shadow without graphical effects: a few widening, fading outlines under the card.
    Repeater {
        model: root.kind === "elevated" ? 4 : 0
        delegate: Rectangle {
            required property int index
            anchors.fill: parent
            anchors.margins: -(index + 1) * 2
            anchors.topMargin: -(index + 1) * 2 + 2
            anchors.bottomMargin: -(index + 1) * 2 - 2
            radius: 16 + (index + 1) * 2
            color: "transparent"
            border.width: 2
            border.color: Qt.rgba(0, 0, 0, 0.12 / (index + 2))
        }
    }
    Rectangle {
        anchors.fill: parent
        radius: 16
        color: root.fill
    }
    Item {
        id: inner
        anchors.fill: parent
        anchors.margins: root.padding
    }
}
