import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Tallymere

// The main window: a sidebar with the three sections and a plain view of the model's state, enough
// to take attendance and enrol members until the full screens arrive.
ApplicationWindow {
    id: window
    required property AppModel appModel

    // "home", "services" or "members".
    property string section: "home"
    // The service whose page is open in the services section, "" for none.
    property string openedServiceID: ""
    property string openedMemberID: ""
    // A stream address from the command line, for the live page to start.
    property url pendingLiveStream
    property bool optionsApplied: false
    // Whether the live session (appModel.live) is shown in place of the sections.
    property bool liveShown: false
    // The session the live panel shows; kept while it saves, after the model has let it go.
    property LiveSession shownLive: null

    function startLive(kind, value, name, label) {
        const session = appModel.startLive(kind, value, name);
        if (!session)
            return;
        session.label = label;
        shownLive = session;
        openLive.restart();
    }

    title: "Tallymere"
    width: 1100
    height: 720
    minimumWidth: 960
    minimumHeight: 640
    visible: true
    color: Theme.canvas
    palette.window: Theme.canvas
    palette.base: Theme.canvas
    palette.text: Theme.ink
    palette.windowText: Theme.ink
    palette.button: Theme.soft
    palette.buttonText: Theme.ink
    palette.highlight: Theme.ink

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

    // The command line's window options, once, when the window is first shown.
    function applyOptions() {
        if (optionsApplied)
            return;
        optionsApplied = true;
        const first = appModel.services.idAt(0);
        for (const step of appModel.options.windowActions(first)) {
            switch (step.action) {
            case "section":
                section = step.value;
                break;
            case "openService":
                section = "services";
                openLater.serviceID = step.value;
                openLater.restart();
                break;
            case "newService":
                appModel.newService();
                break;
            case "liveStream":
                section = "services";
                pendingLiveStream = step.value;
                startLive("stream", step.value.toString(), "", "Live stream");
                break;
            case "openMember":
                section = "members";
                openLater.memberID = step.value;
                openLater.restart();
                break;
            }
        }
    }

    Component.onCompleted: if (visible) applyOptions()
    onVisibleChanged: if (visible) applyOptions()

    Timer {
        id: openLater
        property string serviceID: ""
        property string memberID: ""
        interval: 300
        onTriggered: {
            if (serviceID)
                window.openedServiceID = serviceID;
            if (memberID)
                window.openedMemberID = memberID;
        }
    }

    Timer {
        id: openLive
        interval: 300
        onTriggered: window.liveShown = window.shownLive !== null
    }

    Dialog {
        id: liveDialog
        title: "Take Attendance Live"
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok | Dialog.Cancel
        property var cameras: []
        onOpened: {
            cameras = window.appModel.availableCameras();
            liveLabelField.text = "Live";
        }
        onAccepted: {
            if (streamField.text.trim() !== "")
                window.startLive("stream", streamField.text.trim(), "", liveLabelField.text);
            else if (cameraBox.currentIndex >= 0)
                window.startLive("camera", cameras[cameraBox.currentIndex].id,
                                 cameras[cameraBox.currentIndex].name, liveLabelField.text);
        }
        ColumnLayout {
            spacing: 8
            TextField {
                id: liveLabelField
                placeholderText: "Label"
                implicitWidth: 380
            }
            ComboBox {
                id: cameraBox
                implicitWidth: 380
                model: liveDialog.cameras.map(c => c.name)
                displayText: liveDialog.cameras.length ? currentText : "No camera found"
            }
            TextField {
                id: streamField
                placeholderText: "or a stream address (https://…/index.m3u8, rtsp://…)"
                implicitWidth: 380
            }
        }
    }

    Connections {
        target: window.appModel
        function onNewService() { filesDialog.open(); }
        function onNewMember() { memberDialog.open(); }
        function onGotoMembers() { window.section = "members"; }
    }

    FileDialog {
        id: filesDialog
        title: "Take Attendance"
        fileMode: FileDialog.OpenFiles
        nameFilters: ["Recordings and photos (*.mp4 *.mov *.m4v *.mkv *.avi *.webm *.jpg *.jpeg *.png *.heic *.heif *.webp *.tif *.tiff *.bmp)", "All files (*)"]
        onAccepted: {
            const paths = selectedFiles.map(url => decodeURIComponent(url.toString().replace(/^file:\/\//, "")));
            if (paths.length === 0)
                return;
            const name = paths[0].split("/").pop().replace(/\.[^.]*$/, "");
            window.appModel.createService(name, paths, "standard");
            window.section = "services";
        }
    }

    FileDialog {
        id: photosDialog
        property string memberID: ""
        title: "Add Photos"
        fileMode: FileDialog.OpenFiles
        nameFilters: ["Photos (*.jpg *.jpeg *.png *.heic *.heif *.webp *.tif *.tiff *.bmp)"]
        onAccepted: window.appModel.addPhotos(selectedFiles, memberID)
    }

    Dialog {
        id: memberDialog
        title: "Add Member"
        anchors.centerIn: parent
        modal: true
        standardButtons: Dialog.Ok | Dialog.Cancel
        onOpened: {
            nameField.text = "";
            nameField.forceActiveFocus();
        }
        onAccepted: {
            const id = window.appModel.addMember(nameField.text);
            if (id) {
                window.section = "members";
                photosDialog.memberID = id;
                photosDialog.open();
            }
        }
        TextField {
            id: nameField
            placeholderText: "Name"
            implicitWidth: 320
        }
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        // Sidebar
        Rectangle {
            Layout.fillHeight: true
            Layout.preferredWidth: 220
            color: Theme.softer
            ColumnLayout {
                anchors.fill: parent
                anchors.margins: 16
                spacing: 6
                Label {
                    text: "Tallymere"
                    font: Theme.displaySM
                    Layout.bottomMargin: 12
                }
                Repeater {
                    model: [{ key: "home", title: "Home", icon: "home" },
                            { key: "services", title: "Services", icon: "event_note" },
                            { key: "members", title: "Members", icon: "people" }]
                    delegate: ItemDelegate {
                        required property var modelData
                        Layout.fillWidth: true
                        highlighted: window.section === modelData.key
                        text: modelData.title
                        onClicked: {
                            window.section = modelData.key;
                            window.openedServiceID = "";
                            window.openedMemberID = "";
                        }
                        Accessible.name: modelData.title
                    }
                }
                Item { Layout.fillHeight: true }
                Label {
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    font: Theme.caption
                    color: Theme.body
                    text: window.appModel.engineError
                          ? window.appModel.engineError
                          : window.appModel.engineReady ? "Face models ready"
                                                        : window.appModel.writable ? "Preparing face models\u2026" : ""
                }
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            // What stops this window from changing the library, said plainly.
            Rectangle {
                Layout.fillWidth: true
                visible: window.appModel.libraryStatus !== ""
                implicitHeight: statusText.implicitHeight + 24
                color: "#fff4d6"
                Label {
                    id: statusText
                    objectName: "libraryStatus"
                    anchors.fill: parent
                    anchors.margins: 12
                    wrapMode: Text.Wrap
                    text: window.appModel.libraryStatus
                    font: Theme.bodyStrong
                }
            }

            LivePanel {
                objectName: "livePanel"
                visible: window.liveShown
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.margins: 24
                appModel: window.appModel
                live: window.liveShown ? window.shownLive : null
                stopAfter: window.appModel.options.liveStopAfter
                onClosed: serviceID => {
                    window.liveShown = false;
                    window.shownLive = null;
                    window.section = serviceID ? "services" : "home";
                    window.openedServiceID = serviceID;
                }
            }

            StackLayout {
                visible: !window.liveShown
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.margins: 24
                currentIndex: ["home", "services", "members"].indexOf(window.section)

                // Home
                ColumnLayout {
                    spacing: 16
                    Label {
                        text: "Welcome"
                        font: Theme.displayLG
                    }
                    RowLayout {
                        spacing: 12
                        Repeater {
                            model: [{ title: "Members", value: window.appModel.members.count },
                                    { title: "Recognisable", value: window.appModel.recognisableCount },
                                    { title: "Services", value: window.appModel.services.count },
                                    { title: "Need photos", value: window.appModel.needsAttention.length }]
                            delegate: Rectangle {
                                required property var modelData
                                implicitWidth: 150
                                implicitHeight: 84
                                radius: 16
                                color: Theme.soft
                                Column {
                                    anchors.centerIn: parent
                                    Label {
                                        text: modelData.value
                                        font: Theme.displayLG
                                        anchors.horizontalCenter: parent.horizontalCenter
                                    }
                                    Label {
                                        text: modelData.title
                                        color: Theme.body
                                        anchors.horizontalCenter: parent.horizontalCenter
                                    }
                                }
                            }
                        }
                    }
                    RowLayout {
                        spacing: 12
                        Button {
                            text: "Take Attendance\u2026"
                            enabled: window.appModel.writable
                            opacity: enabled ? 1 : 0.4
                            onClicked: window.appModel.newService()
                        }
                        Button {
                            text: "Take Attendance Live\u2026"
                            enabled: window.appModel.writable
                            opacity: enabled ? 1 : 0.4
                            onClicked: liveDialog.open()
                        }
                        Button {
                            text: "Add Member\u2026"
                            enabled: window.appModel.writable
                            opacity: enabled ? 1 : 0.4
                            onClicked: window.appModel.newMember()
                        }
                    }
                    Repeater {
                        model: window.appModel.mislabelWarnings
                        delegate: Label {
                            required property string modelData
                            text: "\u26a0 " + modelData
                            color: Theme.body
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    Item { Layout.fillHeight: true }
                }

                // Services
                RowLayout {
                    spacing: 16
                    ListView {
                        id: serviceList
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        clip: true
                        spacing: 8
                        model: window.appModel.services
                        delegate: ServiceRow {
                            width: serviceList.width
                            appModel: window.appModel
                            writable: window.appModel.writable
                            onOpened: id => window.openedServiceID = id
                        }
                        Label {
                            anchors.centerIn: parent
                            visible: serviceList.count === 0
                            text: "No services yet. Take attendance from a recording with File \u203a Take Attendance\u2026"
                            color: Theme.body
                        }
                    }
                    // The opened service's register, in brief.
                    Rectangle {
                        id: servicePanel
                        visible: window.openedServiceID !== ""
                        Layout.preferredWidth: 320
                        Layout.fillHeight: true
                        radius: 16
                        color: Theme.softer
                        property var record: window.openedServiceID
                                             ? (window.appModel.services.count, window.appModel.service(window.openedServiceID))
                                             : ({})
                        ListView {
                            anchors.fill: parent
                            anchors.margins: 12
                            clip: true
                            header: Label {
                                text: servicePanel.record.label || ""
                                font: Theme.displaySM
                                bottomPadding: 8
                            }
                            model: servicePanel.record.results ? servicePanel.record.results.members : []
                            delegate: Label {
                                required property var modelData
                                text: (modelData.present ? "\u2713 " : "\u2013 ")
                                      + (window.appModel.member(modelData.memberID).name || modelData.memberID)
                                      + (modelData.present ? "  " + modelData.firstSeenText : "")
                                color: modelData.present ? Theme.ink : Theme.mute
                            }
                        }
                    }
                }

                // Members
                ListView {
                    id: memberList
                    clip: true
                    spacing: 8
                    model: window.appModel.members
                    delegate: MemberRow {
                        width: memberList.width
                        writable: window.appModel.writable
                        border.color: memberID === window.openedMemberID ? Theme.ink : Theme.soft
                        onAddPhotos: id => {
                            photosDialog.memberID = id;
                            photosDialog.open();
                        }
                    }
                    Label {
                        anchors.centerIn: parent
                        visible: memberList.count === 0
                        text: "No members yet. Add one with File \u203a Add Member\u2026"
                        color: Theme.body
                    }
                }
            }
        }
    }
}
