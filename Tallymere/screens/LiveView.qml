import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components

// The live session: the preview with the faces in view, the clock and face count over it, the
// members recognised so far beside it, and "Stop & save" / "Discard".
//
// It reads the model's `live` controller through these observable properties: `label` (text),
// `state` ("idle", "starting", "running", "finishing" or "failed"), `message` (the failure's
// text), `faces` (list of {box: [x1, y1, x2, y2], memberID}), `frameWidth`, `frameHeight`,
// `presence` (list of {memberID, firstSeen}), `elapsed` (seconds), `serviceID`; the picture is a
// `LivePreview` of the same session; and calls `start()`, `finish(label)` (ends with
// state "idle" once saved) and `discard()`.
Item {
    id: root
    required property AppModel appModel
    readonly property var live: appModel.live
    signal saved(string serviceID)
    signal discarded()

    ModelRevision {
        id: revision
        appModel: root.appModel
    }
    function nameOf(memberID) {
        revision.value;
        const m = appModel.member(memberID);
        return m.name !== undefined ? m.name : memberID;
    }

    // Seconds of running after which the session stops and saves by itself ("--live-stop-after");
    // negative for never.
    property real stopAfterSeconds: appModel.options.hasLiveStopAfter ? appModel.options.liveStopAfter : -1

    // An idle controller starts when the page shows it, also one that arrives while it is shown.
    function startIfIdle() {
        if (live && live.state === "idle")
            live.start();
    }
    Component.onCompleted: startIfIdle()
    onLiveChanged: startIfIdle()
    // Counts from when the session runs: the face models may still be loading before that.
    Timer {
        id: stopAfter
        interval: Math.max(0, root.stopAfterSeconds * 1000)
        running: root.stopAfterSeconds >= 0 && !!root.live && root.live.state === "running"
        onTriggered: root.stopAndSave()
    }

    function stopAndSave() {
        if (!live)
            return;
        const id = live.serviceID;
        const controller = live;
        controller.finish(controller.label);
        if (controller.state === "idle")
            saved(id);
        else
            waitSaved.target = controller;
    }
    Connections {
        id: waitSaved
        target: null
        function onStateChanged() {
            if (target && target.state === "idle") {
                const id = target.serviceID;
                target = null;
                root.saved(id);
            }
        }
    }

    Icon {
        anchors.centerIn: parent
        visible: !root.live
        symbol: "dot.radiowaves.left.and.right"
        size: 40
        color: Base.mute
    }

    ColumnLayout {
        visible: !!root.live
        anchors.fill: parent
        anchors.leftMargin: 32
        anchors.rightMargin: 32
        anchors.bottomMargin: 24
        spacing: 16
        Text {
            text: root.live ? root.live.label : ""
            font: Base.displayXL
            color: Base.ink
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 20

            // Preview with the overlay.
            Rectangle {
                id: preview
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.minimumWidth: 300
                radius: 16
                color: "black"
                clip: true
                // Every decoded frame of the source, fitted as the overlay assumes.
                LivePreview {
                    anchors.fill: parent
                    live: root.live
                }
                FaceOverlay {
                    anchors.fill: parent
                    faces: root.live && root.live.faces ? root.live.faces : []
                    frameWidth: root.live && root.live.frameWidth ? root.live.frameWidth : 16
                    frameHeight: root.live && root.live.frameHeight ? root.live.frameHeight : 9
                    nameOf: id => root.nameOf(id)
                }
                Row {
                    x: 12; y: 12
                    spacing: 8
                    Rectangle {
                        height: 26; width: clockRow.implicitWidth + 20; radius: 13
                        color: Qt.rgba(0, 0, 0, 0.6)
                        Row {
                            id: clockRow
                            anchors.centerIn: parent
                            spacing: 6
                            Rectangle {
                                width: 8; height: 8; radius: 4
                                anchors.verticalCenter: parent.verticalCenter
                                color: root.live && root.live.state === "running" ? "#e53935" : Base.mute
                            }
                            Figure {
                                text: Formats.clock(root.live ? root.live.elapsed : 0)
                                font: Base.bodyStrongMono
                                color: "white"
                            }
                        }
                    }
                    Rectangle {
                        height: 26; width: facesRow.implicitWidth + 20; radius: 13
                        color: Qt.rgba(0, 0, 0, 0.6)
                        Row {
                            id: facesRow
                            anchors.centerIn: parent
                            spacing: 6
                            Icon { symbol: "viewfinder"; size: 14; color: "white"; anchors.verticalCenter: parent.verticalCenter }
                            Figure {
                                text: root.live && root.live.faces ? root.live.faces.length : 0
                                font: Base.bodyStrongMono
                                color: "white"
                            }
                        }
                        Hint { text: "Faces in view" }
                    }
                }
                Rectangle {
                    id: failPanel
                    visible: !!root.live && root.live.state === "failed"
                    anchors.centerIn: parent
                    width: failRow.implicitWidth + 24
                    height: failRow.implicitHeight + 24
                    radius: 12
                    color: Qt.rgba(0, 0, 0, 0.6)
                    Row {
                        id: failRow
                        anchors.centerIn: parent
                        spacing: 8
                        Icon { symbol: "exclamationmark.triangle"; size: 18; color: "white"; anchors.verticalCenter: parent.verticalCenter }
                        Text {
                            objectName: "liveFailure"
                            // A long reason wraps inside the picture instead of running off it.
                            width: Math.min(implicitWidth, failPanel.parent.width - 80 - 26 - retry.width)
                            wrapMode: Text.Wrap
                            anchors.verticalCenter: parent.verticalCenter
                            text: root.live && root.live.message ? root.live.message : ""
                            font: Base.bodyStrong
                            color: "white"
                        }
                        PillButton {
                            id: retry
                            objectName: "retryLive"
                            anchors.verticalCenter: parent.verticalCenter
                            kind: "subtle"
                            symbol: "arrow.clockwise"
                            text: "Try again"
                            onClicked: {
                                const session = root.appModel.retryLive();
                                if (session)
                                    session.start();
                            }
                        }
                    }
                }
            }

            // Recognised so far.
            ColumnLayout {
                Layout.preferredWidth: 280
                Layout.fillHeight: true
                spacing: 12
                RowLayout {
                    spacing: 8
                    Icon { symbol: "person.fill.checkmark"; size: 18 }
                    Text {
                        text: "Recognised so far"
                        font: Base.bodyLG
                        color: Base.ink
                    }
                    Figure {
                        text: (root.live && root.live.presence ? root.live.presence.length : 0) + " / "
                              + root.appModel.recognisableCount
                        font: Base.bodyStrongMono
                        color: Base.body
                    }
                }
                ListView {
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    clip: true
                    spacing: 8
                    model: root.live && root.live.presence ? root.live.presence : []
                    delegate: RowLayout {
                        required property var modelData
                        width: ListView.view.width
                        spacing: 10
                        FileImage {
                            size: 32
                            circle: true
                            source: ImageCache.source(root.appModel.thumbnailPath(parent.modelData.memberID), 32,
                                                      ImageCache.generation)
                        }
                        Text {
                            Layout.fillWidth: true
                            text: root.nameOf(parent.modelData.memberID)
                            font: Base.bodyStrong
                            color: Base.ink
                            elide: Text.ElideRight
                        }
                        Text {
                            text: Formats.clock(parent.modelData.firstSeen)
                            font: Base.caption2Base
                            color: Base.body
                        }
                    }
                }
                RowLayout {
                    spacing: 8
                    PillButton {
                        kind: "primary"
                        symbol: "stop.fill"
                        text: root.live && root.live.state === "finishing" ? "Saving\u2026" : "Stop & save"
                        enabled: !!root.live && root.live.state === "running"
                        onClicked: root.stopAndSave()
                    }
                    PillButton {
                        kind: "subtle"
                        symbol: "trash"
                        text: "Discard"
                        onClicked: {
                            if (root.live)
                                root.live.discard();
                            root.discarded();
                        }
                    }
                }
            }
        }
    }
}
