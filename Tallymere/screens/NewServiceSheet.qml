import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// A sheet that starts taking attendance: from recording or photo files (queued for processing),
// from a camera, or from a stream (a live session).
//
// Live sources need two things of the model that the live-capture side provides:
// `availableCameras()` (a list of {id, name}) and `startLive(kind, value, name)` (kind "camera"
// with the camera's id and name, or "stream" with the address; returns the controller). While the
// model has neither, no camera is listed and "Go live" does nothing.
Popup {
    id: sheet
    required property AppModel appModel
    property string kind: "video"
    property string label: "Sunday service"
    property var files: []
    property string mode: "standard"
    property var cameras: []
    property string cameraID: ""
    property string streamURL: ""
    property bool dropTargeted: false
    readonly property bool canStart: Sources.canStart(kind, appModel.recognisableCount, label, files.length,
                                                      cameraID, streamURL)
    signal created(string serviceID)
    signal wentLive()

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    // A click on the dimmed window would throw away what was typed and chosen: only Cancel and
    // Escape close the sheet.
    closePolicy: Popup.CloseOnEscape
    focus: true
    padding: 24
    width: 520
    background: Rectangle { radius: 16; color: Base.canvas }

    // The sheet reads the cameras each time it is shown.
    onOpened: {
        kind = "video";
        label = "Sunday service";
        files = [];
        mode = "standard";
        streamURL = "";
        cameras = appModel.availableCameras();
        cameraID = cameras.length > 0 ? cameras[0].id : "";
    }

    // Files dropped or chosen: only recordings and photos count; with none, nothing changes.
    function takeFiles(urls) {
        const accepted = Sources.acceptedFiles(urls);
        if (accepted.length > 0)
            files = accepted;
    }

    function start() {
        if (!canStart)
            return;
        if (kind === "video") {
            const id = appModel.createService(label, Sources.paths(files), mode);
            close();
            if (id)
                created(id);
            return;
        }
        let live = null;
        if (kind === "camera") {
            const camera = cameras.find(c => c.id === cameraID);
            live = appModel.startLive("camera", cameraID, camera ? camera.name : "Camera");
        } else {
            live = appModel.startLive("stream", streamURL, "");
        }
        if (live)
            live.label = label;
        close();
        wentLive();
    }

    contentItem: ColumnLayout {
        spacing: 16
        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            SourceTile {
                objectName: "videoTile"
                Layout.fillWidth: true
                kind: "video"; symbol: "film"; title: "Video"
                selected: sheet.kind; onChosen: k => sheet.kind = k
            }
            SourceTile {
                objectName: "cameraTile"
                Layout.fillWidth: true
                kind: "camera"; symbol: "web.camera"; title: "Camera"
                selected: sheet.kind; onChosen: k => sheet.kind = k
            }
            SourceTile {
                objectName: "streamTile"
                Layout.fillWidth: true
                kind: "stream"; symbol: "dot.radiowaves.left.and.right"; title: "Stream"
                selected: sheet.kind; onChosen: k => sheet.kind = k
            }
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            Icon { symbol: "textformat"; size: 18; color: Base.body }
            TextField {
                objectName: "labelField"
                Layout.fillWidth: true
                placeholderText: "Name"
                text: sheet.label
                font: Base.bodyMD
                onTextEdited: sheet.label = text
                Accessible.name: "Name"
            }
        }

        // Video: the drop zone and the mode.
        ColumnLayout {
            visible: sheet.kind === "video"
            Layout.fillWidth: true
            spacing: 12
            Rectangle {
                objectName: "dropZone"
                Layout.fillWidth: true
                implicitHeight: 110
                radius: 14
                color: sheet.dropTargeted ? Base.pressed : Base.soft
                border.width: sheet.dropTargeted ? 2 : 0
                border.color: Base.ink
                Accessible.role: Accessible.Button
                Accessible.name: filesText.text
                Column {
                    anchors.centerIn: parent
                    width: parent.width - 32
                    spacing: 8
                    Icon {
                        anchors.horizontalCenter: parent.horizontalCenter
                        symbol: sheet.files.length > 0 ? "checkmark.circle.fill" : "arrow.down.doc"
                        size: 28
                        color: Base.body
                    }
                    Text {
                        id: filesText
                        objectName: "filesText"
                        width: parent.width
                        horizontalAlignment: Text.AlignHCenter
                        text: Rules.filesText(sheet.files)
                        elide: Text.ElideMiddle
                        font: Base.bodyStrong
                        color: Base.body
                    }
                }
                MouseArea {
                    anchors.fill: parent
                    cursorShape: Qt.PointingHandCursor
                    onClicked: chooser.open()
                }
                DropArea {
                    id: drop
                    objectName: "dropArea"
                    anchors.fill: parent
                    onEntered: d => { sheet.dropTargeted = true; d.accept(Qt.CopyAction); }
                    onExited: sheet.dropTargeted = false
                    onDropped: d => {
                        sheet.dropTargeted = false;
                        if (d.hasUrls)
                            sheet.takeFiles(d.urls);
                        d.accept(Qt.CopyAction);
                    }
                }
            }
            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 0
                Accessible.role: Accessible.PageTabList
                Accessible.description: Sources.modeDetail(sheet.mode)
                Repeater {
                    model: [{ mode: "quick", symbol: "hare" }, { mode: "standard", symbol: "gauge.with.dots.needle.50percent" },
                            { mode: "thorough", symbol: "scope" }]
                    delegate: AbstractButton {
                        id: segment
                        required property var modelData
                        required property int index
                        readonly property bool chosen: sheet.mode === modelData.mode
                        implicitWidth: 130
                        implicitHeight: 34
                        hoverEnabled: true
                        onClicked: sheet.mode = modelData.mode
                        ToolTip.visible: hovered
                        ToolTip.text: Sources.modeDetail(sheet.mode)
                        ToolTip.delay: Base.hintDelay
                        Accessible.role: Accessible.RadioButton
                        Accessible.name: Sources.modeTitle(modelData.mode)
                        Accessible.checked: chosen
                        background: Rectangle {
                            radius: 10
                            color: segment.chosen ? Base.ink : Base.soft
                        }
                        contentItem: Row {
                            spacing: 6
                            leftPadding: (segment.width - implicitWidth) / 2
                            Icon {
                                symbol: segment.modelData.symbol
                                size: 16
                                color: segment.chosen ? Base.canvas : Base.ink
                                anchors.verticalCenter: parent.verticalCenter
                            }
                            Text {
                                text: Sources.modeTitle(segment.modelData.mode)
                                font: Base.bodyStrong
                                color: segment.chosen ? Base.canvas : Base.ink
                                anchors.verticalCenter: parent.verticalCenter
                            }
                        }
                    }
                }
            }
        }

        // Camera
        RowLayout {
            visible: sheet.kind === "camera"
            Layout.fillWidth: true
            spacing: 10
            Icon {
                symbol: "web.camera"; size: 18; color: Base.body
                Hint { text: "Built-in or a USB/HDMI capture device" }
            }
            ComboBox {
                visible: sheet.cameras.length > 0
                Layout.fillWidth: true
                model: sheet.cameras
                textRole: "name"
                valueRole: "id"
                onActivated: sheet.cameraID = currentValue
            }
            Text {
                visible: sheet.cameras.length === 0
                text: "No camera found"
                font: Base.bodyMD
                color: Base.body
            }
        }

        // Stream
        RowLayout {
            visible: sheet.kind === "stream"
            Layout.fillWidth: true
            spacing: 10
            Icon {
                symbol: "link"; size: 18; color: Base.body
                Hint { text: "HLS (.m3u8) or a direct video URL" }
            }
            TextField {
                objectName: "streamField"
                Layout.fillWidth: true
                placeholderText: "https://\u2026/live.m3u8"
                text: sheet.streamURL
                onTextEdited: sheet.streamURL = text
                font: Base.bodyMD
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            Row {
                visible: sheet.appModel.recognisableCount < 1
                spacing: 6
                Icon { symbol: "exclamationmark.triangle"; size: 16; color: Base.body; anchors.verticalCenter: parent.verticalCenter }
                Text {
                    objectName: "noMembersWarning"
                    text: "Add members with photos first"
                    font: Base.caption2Base
                    color: Base.body
                    anchors.verticalCenter: parent.verticalCenter
                }
            }
            Item { Layout.fillWidth: true }
            PillButton { kind: "subtle"; text: "Cancel"; onClicked: sheet.close() }
            PillButton {
                objectName: "startButton"
                kind: "primary"
                symbol: sheet.kind === "video" ? "play.fill" : "record.circle"
                text: sheet.kind === "video" ? "Start" : "Go live"
                enabled: sheet.canStart && sheet.appModel.writable
                onClicked: sheet.start()
            }
        }
    }

    FileDialog {
        id: chooser
        title: "Choose a recording or photos"
        fileMode: FileDialog.OpenFiles
        nameFilters: [Sources.recordingFilter()]
        onAccepted: sheet.takeFiles(selectedFiles)
    }
}
