import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A strip across the window that says what went wrong, in the words of whatever failed, until the
// operator closes it. Hidden while `text` is empty.
Rectangle {
    id: root
    property string text: ""
    signal dismissed

    visible: text !== ""
    implicitHeight: visible ? row.implicitHeight + 20 : 0
    color: "#fde2e0"

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 16
        anchors.rightMargin: 10
        spacing: 12

        Icon {
            symbol: "exclamationmark.triangle.fill"
            size: 18
            color: Base.ink
        }
        Label {
            objectName: "noticeText"
            Layout.fillWidth: true
            text: root.text
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            font: Base.bodyStrong
            color: Base.ink
        }
        CircleIconButton {
            objectName: "noticeClose"
            symbol: "xmark"
            hint: "Close"
            onClicked: root.dismissed()
        }
    }
}
