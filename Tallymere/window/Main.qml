import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// The main window: the menu commands, what stops the window from changing the library (said
// plainly), and the content view with its sidebar, pages and sheets.
ApplicationWindow {
    id: window
    required property AppModel appModel
    // The content view's navigation, for the shell's tests and the command line.
    property alias section: content.section
    readonly property var path: content.path

    title: "Tallymere"
    width: 1180
    height: 760
    minimumWidth: 960
    minimumHeight: 640
    visible: true
    color: Base.canvas
    font.family: Base.family
    palette.window: Base.canvas
    palette.base: Base.canvas
    palette.text: Base.ink
    palette.windowText: Base.ink
    palette.button: Base.soft
    palette.buttonText: Base.ink
    palette.highlight: Base.ink

    menuBar: MenuBar {
        Menu {
            title: "&File"
            Action {
                text: "Take Attendance\u2026"
                shortcut: "Ctrl+N"
                onTriggered: window.appModel.newService()
            }
            Action {
                text: "Add Member\u2026"
                shortcut: "Shift+Ctrl+N"
                onTriggered: window.appModel.newMember()
            }
            MenuSeparator {}
            Action {
                text: "Quit"
                shortcut: StandardKey.Quit
                onTriggered: Qt.quit()
            }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            visible: text !== ""
            // Who holds the library, and a member list that cannot be used: shown, never hidden
            // behind an empty list.
            readonly property string text: [window.appModel.libraryStatus,
                                            window.appModel.membersProblem].filter(t => t !== "").join("\n")
            implicitHeight: statusText.implicitHeight + 24
            color: "#fff4d6"
            Label {
                id: statusText
                objectName: "libraryStatus"
                anchors.fill: parent
                anchors.margins: 12
                wrapMode: Text.Wrap
                text: parent.text
                font: Base.bodyStrong
            }
        }
        NoticeBar {
            objectName: "notice"
            Layout.fillWidth: true
            text: window.appModel.notice
            onDismissed: window.appModel.dismissNotice()
        }
        ContentView {
            id: content
            objectName: "contentView"
            Layout.fillWidth: true
            Layout.fillHeight: true
            appModel: window.appModel
        }
    }
}
