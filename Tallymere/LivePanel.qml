import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere

// A live session while it runs: the source's picture with the faces found, the members present so
// far, and the buttons that save or drop it. Starts the session when shown idle.
Rectangle {
    id: panel
    required property AppModel appModel
    // The session shown; the panel keeps it while it is saved, after the model has let it go.
    property LiveSession live: null
    // Seconds after which the session stops and saves by itself; negative for never.
    property real stopAfter: -1
    // The session was saved as this service, or dropped ("").
    signal closed(string serviceID)

    color: Theme.canvas

    function startIfIdle() {
        if (live && live.state === "idle")
            live.start();
    }
    onLiveChanged: startIfIdle()
    Component.onCompleted: startIfIdle()

    Connections {
        target: panel.live
        function onFinished(serviceID) { panel.closed(serviceID); }
    }

    Timer {
        running: panel.live !== null && panel.stopAfter >= 0 && panel.live.state === "running"
                 && panel.live.elapsed >= panel.stopAfter
        interval: 10
        onTriggered: panel.live.finish(panel.live.label)
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 12

        RowLayout {
            Layout.fillWidth: true
            spacing: 12
            TextField {
                id: labelField
                objectName: "liveLabel"
                Layout.preferredWidth: 280
                text: panel.live ? panel.live.label : ""
                onEditingFinished: if (panel.live) panel.live.label = text
            }
            Label {
                objectName: "liveStatus"
                Layout.fillWidth: true
                color: panel.live && panel.live.state === "failed" ? "#b3261e" : Theme.body
                elide: Text.ElideRight
                text: {
                    if (!panel.live)
                        return "";
                    switch (panel.live.state) {
                    case "starting": return "Starting\u2026";
                    case "failed": return panel.live.message;
                    case "finishing": return "Saving\u2026";
                    case "running": {
                        const s = Math.floor(panel.live.elapsed);
                        const clock = Math.floor(s / 60) + ":" + String(s % 60).padStart(2, "0");
                        return clock + " \u00b7 " + panel.live.faces.length + " in view \u00b7 "
                               + panel.live.presence.length + " present \u00b7 "
                               + panel.live.analysedFPS.toFixed(1) + " frames/s analysed";
                    }
                    default: return "";
                    }
                }
            }
            Button {
                objectName: "liveStop"
                text: panel.live && panel.live.state === "finishing" ? "Saving\u2026" : "Stop && save"
                enabled: panel.live !== null && panel.live.state === "running"
                onClicked: {
                    panel.live.label = labelField.text;
                    panel.live.finish(labelField.text);
                }
            }
            Button {
                objectName: "liveDiscard"
                text: "Discard"
                enabled: panel.live !== null && panel.live.state !== "finishing"
                onClicked: {
                    panel.live.discard();
                    panel.closed("");
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 16

            Rectangle {
                Layout.fillWidth: true
                Layout.fillHeight: true
                color: "#111111"
                radius: 8
                clip: true

                LivePreview {
                    id: preview
                    objectName: "livePreview"
                    anchors.fill: parent
                    live: panel.live
                }
                // The faces of the last analysed frame, over the picture.
                Item {
                    x: preview.pictureRect.x
                    y: preview.pictureRect.y
                    width: preview.pictureRect.width
                    height: preview.pictureRect.height
                    readonly property real scaleX: panel.live ? width / panel.live.frameWidth : 1
                    readonly property real scaleY: panel.live ? height / panel.live.frameHeight : 1
                    Repeater {
                        model: panel.live ? panel.live.faces : []
                        delegate: Rectangle {
                            required property var modelData
                            x: modelData.box[0] * parent.scaleX
                            y: modelData.box[1] * parent.scaleY
                            width: (modelData.box[2] - modelData.box[0]) * parent.scaleX
                            height: (modelData.box[3] - modelData.box[1]) * parent.scaleY
                            color: "transparent"
                            border.width: 2
                            border.color: modelData.memberID ? "#34c759" : "#ffcc00"
                            Label {
                                anchors.bottom: parent.top
                                anchors.left: parent.left
                                text: modelData.name || (modelData.memberID ? modelData.memberID : "Unknown")
                                color: "white"
                                font: Theme.caption
                                background: Rectangle { color: "#99000000" }
                                padding: 2
                            }
                        }
                    }
                }
            }

            // Members present so far.
            ListView {
                Layout.preferredWidth: 240
                Layout.fillHeight: true
                clip: true
                spacing: 4
                header: Label {
                    text: "Present"
                    font: Theme.displaySM
                    bottomPadding: 8
                }
                model: panel.live ? panel.live.presence : []
                delegate: Label {
                    required property var modelData
                    text: "\u2713 " + (modelData.name || modelData.memberID)
                }
            }
        }
    }
}
