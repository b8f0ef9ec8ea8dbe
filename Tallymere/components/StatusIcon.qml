import QtQuick

// A service's status as one small icon: clock while queued, a spinner while processing, and a tick,
// an exclamation mark or a cross once it is done, failed or cancelled.
Item {
    id: root
    property string status: ""
    property real size: 16
    readonly property string symbol: ({ queued: "clock", done: "checkmark.circle.fill",
                                        failed: "exclamationmark.circle", cancelled: "xmark.circle" })[status] || ""
    implicitWidth: size
    implicitHeight: size
    Accessible.role: Accessible.StaticText
    Accessible.name: status
    Icon {
        anchors.centerIn: parent
        visible: root.status !== "processing"
        symbol: root.symbol
        size: root.size
        color: Base.body
    }
    Spinner {
        anchors.centerIn: parent
        visible: root.status === "processing"
        size: root.size - 2
    }
}
