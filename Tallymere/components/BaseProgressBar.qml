import QtQuick

// An 8-point capsule progress bar: `value` 0…1, or a negative number (or undefined) for work whose
// length is unknown, which slides a short fill to and fro. Read out as "Progress" with the whole
// percentage, or "in progress" without a value. `hint` is its tooltip.
Item {
    id: root
    property var value: undefined
    property bool onDark: false
    property string hint: ""
    readonly property bool determinate: typeof value === "number" && value >= 0
    readonly property string valueText: determinate ? Math.floor(Math.min(1, value) * 100) + " percent"
                                                    : "in progress"

    implicitHeight: 8
    implicitWidth: 120
    Accessible.role: Accessible.ProgressBar
    Accessible.name: "Progress"
    Accessible.description: valueText

    Rectangle {
        id: track
        anchors.fill: parent
        radius: height / 2
        color: root.onDark ? Base.elevated : Base.soft
        clip: true

        Rectangle {
            id: fill
            visible: root.determinate
            height: parent.height
            radius: height / 2
            color: root.onDark ? Base.canvas : Base.ink
            width: root.determinate ? Math.max(8, Math.min(1, root.value) * track.width) : 0
            Behavior on width {
                NumberAnimation { duration: 400; easing.type: Easing.OutCubic }
            }
        }
        Rectangle {
            id: slider
            visible: !root.determinate
            height: parent.height
            width: Math.max(8, track.width * 0.25)
            radius: height / 2
            color: root.onDark ? Base.canvas : Base.ink
            SequentialAnimation on x {
                running: slider.visible
                loops: Animation.Infinite
                NumberAnimation { from: 0; to: track.width - slider.width; duration: 1000; easing.type: Easing.InOutQuad }
                NumberAnimation { from: track.width - slider.width; to: 0; duration: 1000; easing.type: Easing.InOutQuad }
            }
        }
    }
    Hint {
        text: root.hint
    }
}
