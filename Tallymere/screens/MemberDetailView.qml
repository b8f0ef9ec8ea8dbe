import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// One member: face, name and photo count, rename and delete, the photo guidelines, the photos
// with their check results (photos are added by dropping or choosing files), and their attendance:
// the last 12 registers as a strip of marks, each opening its service, with the figures.
Item {
    id: root
    required property AppModel appModel
    required property string memberID
    property bool dropTargeted: false
    property string newName: ""
    property var photoToDelete: null
    signal deleted()
    signal openService(string serviceID)

    ModelRevision {
        id: revision
        appModel: root.appModel
    }
    readonly property var member: {
        revision.value;
        const m = appModel.member(memberID);
        return m.memberID === undefined ? null : m;
    }
    readonly property var history: {
        revision.value;
        return appModel.attendance.memberHistory(memberID);
    }

    Icon {
        anchors.centerIn: parent
        visible: root.member === null
        objectName: "deletedPlaceholder"
        symbol: "person.slash"
        size: 64
        color: Base.mute
    }

    ScrollView {
        id: scroll
        anchors.fill: parent
        visible: root.member !== null
        contentWidth: availableWidth
        clip: true

        ColumnLayout {
            x: 32
            width: scroll.availableWidth - 64
            spacing: 18

            RowLayout {
                Layout.fillWidth: true
                spacing: 14
                FileImage {
                    size: 64
                    circle: true
                    source: ImageCache.source(root.member ? root.member.thumbnailPath : "", 64, ImageCache.generation)
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 6
                    Text {
                        Layout.fillWidth: true
                        text: root.member ? root.member.name : ""
                        font: Base.displayLG
                        color: Base.ink
                        elide: Text.ElideRight
                    }
                    Chip {
                        kind: "soft"
                        symbol: "photo"
                        text: root.member ? root.member.goodPhotos + "/" + root.member.photoCount : ""
                        hint: "Good photos / total (" + root.appModel.minGoodPhotos + "+ recommended)"
                    }
                }
                PillButton {
                    kind: "subtle"; symbol: "photo.badge.plus"; text: "Add photos"
                    enabled: root.appModel.writable
                    onClicked: chooser.open()
                }
                PillButton {
                    kind: "subtle"; symbol: "pencil"; text: "Rename"
                    enabled: root.appModel.writable
                    onClicked: {
                        root.newName = root.member.name;
                        renamePrompt.open();
                    }
                }
                PillButton {
                    kind: "subtle"; symbol: "trash"; text: "Delete member"
                    enabled: root.appModel.writable
                    onClicked: confirmDelete.open()
                }
            }
            PhotoGuidelines {}

            Flow {
                Layout.fillWidth: true
                spacing: 12
                Repeater {
                    model: root.member ? root.member.photos : []
                    delegate: Item {
                        id: photo
                        required property var modelData
                        readonly property var status: Rules.photoStatus(modelData)
                        width: 150
                        height: 150
                        FileImage {
                            size: 150
                            grey: photo.modelData.checked && !photo.modelData.ok
                            source: ImageCache.source(photo.modelData.path, 150, ImageCache.generation)
                        }
                        Rectangle {
                            x: 8; y: 8
                            width: 24; height: 24; radius: 12
                            color: Base.canvas
                            Icon {
                                anchors.centerIn: parent
                                symbol: photo.status[0]
                                size: 18
                                color: Base.ink
                            }
                            Hint { text: photo.status[1] }
                            Accessible.role: Accessible.StaticText
                            Accessible.name: photo.status[1]
                        }
                        CircleIconButton {
                            x: parent.width - width - 6
                            y: 6
                            symbol: "trash"
                            hint: "Delete photo"
                            enabled: root.appModel.writable
                            onClicked: {
                                root.photoToDelete = photo.modelData;
                                confirmPhoto.open();
                            }
                        }
                    }
                }
                // The drop tile: files dragged from the file manager, or the chooser.
                Rectangle {
                    width: 150
                    height: 150
                    radius: 12
                    color: root.dropTargeted ? Base.pressed : Base.soft
                    border.width: root.dropTargeted ? 2 : 0
                    border.color: Base.ink
                    Accessible.role: Accessible.Button
                    Accessible.name: "Drop or choose photos"
                    Column {
                        anchors.centerIn: parent
                        spacing: 6
                        Icon {
                            anchors.horizontalCenter: parent.horizontalCenter
                            symbol: root.dropTargeted ? "plus" : "photo.on.rectangle.angled"
                            size: 30
                            color: Base.body
                        }
                        Text {
                            text: "Drop or choose photos"
                            font: Base.caption2Base
                            color: Base.body
                        }
                    }
                    MouseArea {
                        anchors.fill: parent
                        cursorShape: Qt.PointingHandCursor
                        enabled: root.appModel.writable
                        onClicked: chooser.open()
                    }
                    DropArea {
                        anchors.fill: parent
                        enabled: root.appModel.writable
                        onEntered: drag => { root.dropTargeted = true; drag.accept(Qt.CopyAction); }
                        onExited: root.dropTargeted = false
                        onDropped: drop => {
                            root.dropTargeted = false;
                            if (drop.hasUrls)
                                root.appModel.addPhotos(drop.urls, root.memberID);
                            drop.accept(Qt.CopyAction);
                        }
                    }
                }
            }
            // Attendance: the last registers the member is on, oldest first.
            ColumnLayout {
                objectName: "attendance"
                Layout.fillWidth: true
                Layout.topMargin: 8
                spacing: 10
                Text {
                    text: "Attendance"
                    font: Base.displaySM
                    color: Base.ink
                }
                Text {
                    visible: root.history.total === 0
                    text: "Not on any register yet"
                    font: Base.bodyMD
                    color: Base.body
                }
                Row {
                    objectName: "attendanceStrip"
                    visible: root.history.total > 0
                    spacing: 6
                    Repeater {
                        model: root.history.registers
                        delegate: AttendanceMark {
                            required property var modelData
                            mark: modelData.mark
                            attended: modelData.attended
                            hint: Rules.registerHint(modelData.label, Formats.shortDate(modelData.date), modelData.mark, modelData.attended)
                            onClicked: root.openService(modelData.serviceID)
                        }
                    }
                }
                Row {
                    visible: root.history.total > 0
                    spacing: 18
                    Text {
                        objectName: "attendedFigure"
                        text: "Attended " + root.history.attended + " of the last " + root.history.shown
                        font: Base.bodyStrong
                        color: Base.ink
                    }
                    Text {
                        objectName: "absenceRun"
                        visible: root.history.absenceRun >= 2
                        text: "Away " + root.history.absenceRun + " services in a row"
                        font: Base.bodyStrong
                        color: Base.ink
                    }
                    Text {
                        objectName: "lastSeen"
                        text: root.history.lastSeen ? "Last seen " + Formats.shortDate(root.history.lastSeen) : "Not seen yet"
                        font: Base.bodyMD
                        color: Base.body
                    }
                }
            }
            Item { implicitHeight: 24 }
        }
    }

    FileDialog {
        id: chooser
        title: "Add photos"
        fileMode: FileDialog.OpenFiles
        nameFilters: [Sources.photoFilter()]
        onAccepted: root.appModel.addPhotos(selectedFiles, root.memberID)
    }

    Dialog {
        id: renamePrompt
        anchors.centerIn: parent
        modal: true
        title: "Rename"
        onOpened: nameField.forceActiveFocus()
        TextField {
            id: nameField
            implicitWidth: 300
            placeholderText: "Full name"
            text: root.newName
            onTextEdited: root.newName = text
            onAccepted: renamePrompt.save()
        }
        function save() {
            if (Sources.trimmed(root.newName) === "")
                return;
            root.appModel.rename(root.memberID, root.newName);
            close();
        }
        footer: DialogButtonBox {
            PillButton { text: "Cancel"; kind: "subtle"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PillButton {
                text: "Save"; kind: "primary"
                onClicked: renamePrompt.save()
            }
        }
    }

    Dialog {
        id: confirmDelete
        anchors.centerIn: parent
        modal: true
        title: "Delete " + (root.member ? root.member.name : "") + "?"
        Text {
            text: "Photos are removed from this computer."
            font: Base.bodyMD
            color: Base.body
        }
        footer: DialogButtonBox {
            PillButton { text: "Cancel"; kind: "subtle"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PillButton {
                text: "Delete"; kind: "primary"
                onClicked: {
                    confirmDelete.close();
                    root.appModel.deleteMember(root.memberID);
                    root.deleted();
                }
            }
        }
    }

    Dialog {
        id: confirmPhoto
        anchors.centerIn: parent
        modal: true
        title: "Delete photo?"
        onClosed: root.photoToDelete = null
        footer: DialogButtonBox {
            PillButton { text: "Cancel"; kind: "subtle"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PillButton {
                text: "Delete"; kind: "primary"
                onClicked: {
                    if (root.photoToDelete)
                        root.appModel.deletePhoto(root.photoToDelete.id, root.memberID);
                    confirmPhoto.close();
                }
            }
        }
    }
}
