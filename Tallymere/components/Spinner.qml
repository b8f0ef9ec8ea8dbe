import QtQuick

// A small spinner for work under way: a three-quarter ring turning once a second.
Item {
    id: root
    property real size: 14
    property color color: Base.body
    implicitWidth: size
    implicitHeight: size
    Accessible.role: Accessible.Animation
    Accessible.name: "In progress"
    Canvas {
        id: ring
        anchors.fill: parent
        onPaint: {
            const ctx = getContext("2d");
            ctx.reset();
            ctx.lineWidth = Math.max(1.5, width / 7);
            ctx.strokeStyle = root.color;
            ctx.lineCap = "round";
            ctx.beginPath();
            ctx.arc(width / 2, height / 2, width / 2 - ctx.lineWidth, 0, Math.PI * 1.5);
            ctx.stroke();
        }
        RotationAnimation on rotation {
            from: 0
            to: 360
            duration: 1000
            loops: Animation.Infinite
            running: root.visible
        }
    }
}
