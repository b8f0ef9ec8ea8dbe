import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// One service: its header and actions, the queue card while it waits or runs, the failure or
// cancellation, and once done the register in four tabs.
Item {
    id: root
    required property AppModel appModel
    required property string serviceID
    property string tab: "present"
    signal deleted()
    signal openMember(string memberID)

    ModelRevision {
        id: revision
        appModel: root.appModel
    }
    readonly property var service: {
        revision.value;
        const s = appModel.service(serviceID);
        return s.serviceID === undefined ? null : s;
    }
    readonly property var results: service && service.status === "done" && service.results ? service.results : null
    readonly property var present: results ? results.members.filter(m => m.present) : []
    readonly property var review: present.filter(m => m.needsReview)
    readonly property var absent: results ? results.members.filter(m => !m.present) : []
    readonly property var visitors: results ? results.visitors : []
    readonly property bool hasSources: !!service && service.sourcePaths.length > 0

    // Each time results appear: "review" when something needs double-checking, then "--tab".
    property bool resultsShown: false
    onResultsChanged: {
        const shown = results !== null;
        if (shown && !resultsShown)
            tab = Rules.initialTab(review.length, appModel.options.tab);
        resultsShown = shown;
    }
    Component.onCompleted: resultsChanged()

    function memberName(id) {
        revision.value;
        const m = appModel.member(id);
        return m.name !== undefined ? m.name : id;
    }
    // A file in the service's folder (evidence and visitor snapshots); "" without a name.
    function servicePath(file) {
        return file ? appModel.libraryRoot + "/services/" + serviceID + "/" + file : "";
    }
    function thumb(memberID, size) {
        return ImageCache.source(appModel.thumbnailPath(memberID), size, ImageCache.generation);
    }

    // The service is gone (deleted here or elsewhere).
    Icon {
        anchors.centerIn: parent
        visible: root.service === null
        objectName: "deletedPlaceholder"
        symbol: "trash"
        size: 64
        color: Base.mute
    }

    // The page scrolls as one list whose header holds everything above the register, so that
    // only the cards and rows in view exist, however long the register is.
    GridView {
        id: list
        objectName: "registerList"
        anchors.fill: parent
        visible: root.service !== null
        clip: true
        readonly property bool rows: root.tab === "review" || root.tab === "absent"
        readonly property bool snapshots: root.tab === "visitors"
        leftMargin: 32
        rightMargin: 32
        bottomMargin: 24
        readonly property real innerWidth: width - 64
        cellWidth: rows ? innerWidth : snapshots ? 106 : 212
        cellHeight: rows ? 56 : snapshots ? 106 : 152
        model: !root.results ? [] : root.tab === "review" ? root.review : root.tab === "absent" ? root.absent
                                    : root.tab === "visitors" ? root.visitors : root.present
        header: Item {
            width: list.innerWidth
            height: headerColumn.implicitHeight + 18
            HeaderColumn { id: headerColumn; width: parent.width }
        }
        delegate: Loader {
            required property var modelData
            width: list.cellWidth
            height: list.cellHeight
            sourceComponent: list.rows ? memberRow : list.snapshots ? visitorPicture : presentCard
            onLoaded: item.modelData = Qt.binding(() => modelData)
        }
        ScrollBar.vertical: ScrollBar {}
    }

    component HeaderColumn: ColumnLayout {
        spacing: 18

        // Header
        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 4
                Text {
                    Layout.fillWidth: true
                    text: root.service ? root.service.label : ""
                    font: Base.displayXL
                    color: Base.ink
                    elide: Text.ElideRight
                }
                RowLayout {
                    spacing: 6
                    Icon {
                        symbol: root.service && root.service.liveSource ? "dot.radiowaves.left.and.right" : "film"
                        size: 14
                        color: Base.body
                    }
                    Text {
                        text: root.service ? Formats.shortDate(root.service.date)
                                             + (root.service.liveSource ? " \u00b7 " + root.service.liveSource : "") : ""
                        font: Base.bodyMD
                        color: Base.body
                    }
                }
            }
            CircleIconButton {
                objectName: "exportButton"
                visible: !!root.service && root.service.status === "done"
                symbol: "square.and.arrow.down"
                hint: "Export register (CSV)"
                onClicked: root.startExport()
            }
            CircleIconButton {
                objectName: "processAgainButton"
                visible: !!root.service && Rules.canProcessAgain(root.service.status, root.service.sourcePaths)
                symbol: "arrow.clockwise"
                hint: "Process again"
                enabled: root.appModel.writable
                onClicked: root.appModel.enqueue(root.serviceID)
            }
            CircleIconButton {
                objectName: "showRecordingButton"
                visible: root.hasSources
                symbol: "film"
                hint: "Show recording in file manager"
                onClicked: Desktop.showFiles(root.service.sourcePaths)
            }
            CircleIconButton {
                objectName: "deleteButton"
                visible: !!root.service && root.service.status !== "processing"
                symbol: "trash"
                hint: "Delete"
                enabled: root.appModel.writable
                onClicked: confirmDelete.open()
            }
        }

        // Waiting or running
        Card {
            id: queueCard
            visible: !!root.service && (root.service.status === "queued" || root.service.status === "processing")
            Layout.fillWidth: true
            kind: "soft"
            ColumnLayout {
                width: queueCard.width - 2 * queueCard.padding
                spacing: 12
                RowLayout {
                    Layout.fillWidth: true
                    spacing: 10
                    Icon { symbol: "cpu"; size: 18 }
                    Text {
                        Layout.fillWidth: true
                        text: root.service && root.service.message ? root.service.message : "Starting"
                        font: Base.bodyStrongMono
                        color: Base.ink
                        elide: Text.ElideRight
                    }
                    CircleIconButton {
                        objectName: "cancelButton"
                        symbol: "xmark"
                        hint: "Cancel"
                        enabled: root.appModel.writable
                        onClicked: root.appModel.cancel(root.serviceID)
                    }
                }
                BaseProgressBar {
                    Layout.fillWidth: true
                    value: root.service && root.service.status === "processing" ? root.service.progress : undefined
                }
            }
        }

        // Failed or cancelled
        RowLayout {
            visible: !!root.service && (root.service.status === "failed" || root.service.status === "cancelled")
            spacing: 8
            Icon { symbol: "exclamationmark.triangle"; size: 18; color: Base.body }
            Text {
                text: root.service ? root.service.message : ""
                font: Base.bodyMD
                color: Base.body
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }

        // Results
        ColumnLayout {
            visible: root.results !== null
            Layout.fillWidth: true
            spacing: 16
            RowLayout {
                spacing: 12
                Row {
                    spacing: 6
                    Accessible.role: Accessible.StaticText
                    Accessible.name: processing.text
                    Accessible.description: processing.hint
                    Icon { symbol: "bolt.fill"; size: 16; color: Base.body }
                    Text {
                        id: processing
                        readonly property string hint: root.results ? root.results.framesAnalysed
                                                                      + " frames analysed on this computer" : ""
                        text: root.results ? Formats.dur(root.results.processingSeconds) : ""
                        font: Base.bodyStrongMono
                        color: Base.body
                        Hint { text: processing.hint }
                    }
                }
                Item { Layout.fillWidth: true }
                TabPill {
                    tag: "present"; symbol: "person.fill.checkmark"; count: root.present.length
                    hint: "Present"; selected: root.tab; onActivated: t => root.tab = t
                }
                TabPill {
                    visible: root.review.length > 0
                    tag: "review"; symbol: "exclamationmark.triangle"; count: root.review.length
                    hint: "To double-check"; selected: root.tab; onActivated: t => root.tab = t
                }
                TabPill {
                    tag: "absent"; symbol: "person.fill.xmark"; count: root.absent.length
                    hint: "Absent"; selected: root.tab; onActivated: t => root.tab = t
                }
                TabPill {
                    tag: "visitors"; symbol: "person.fill.questionmark"; count: root.visitors.length
                    hint: "Visitors (estimate)"; selected: root.tab; onActivated: t => root.tab = t
                }
            }
        }
    }

    Component {
        id: presentCard
        Item {
            property var modelData: ({})
            Card {
                id: card
                kind: "soft"
                padding: 12
                width: 200
                height: 140
                ColumnLayout {
                    width: 176
                    spacing: 8
                    Row {
                        spacing: 8
                        FileImage {
                            size: 84
                            backdrop: Base.soft
                            source: root.thumb(card.parent.modelData.memberID, 84)
                            Hint { text: "Member photo" }
                            Accessible.name: "Member photo"
                        }
                        FileImage {
                            size: 84
                            backdrop: Base.soft
                            source: ImageCache.source(root.servicePath(card.parent.modelData.evidenceFile), 84,
                                                      ImageCache.generation)
                            Hint { text: "Seen in recording" }
                            Accessible.name: "Seen in recording"
                        }
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 6
                        Text {
                            Layout.fillWidth: true
                            text: root.memberName(card.parent.modelData.memberID)
                            font: Base.bodyStrong
                            color: Base.ink
                            elide: Text.ElideRight
                        }
                        Icon {
                            visible: !!card.parent.modelData.needsReview
                            symbol: "exclamationmark.triangle"
                            size: 14
                            color: Base.body
                            Hint { text: card.parent.modelData.reviewReason || "" }
                        }
                        Chip {
                            kind: "dark"
                            text: Math.floor(card.parent.modelData.confidence * 100) + "%"
                            hint: "Match \u00b7 first seen " + Formats.clock(card.parent.modelData.firstSeen)
                                  + " \u00b7 " + card.parent.modelData.sightings + " sightings"
                        }
                    }
                }
            }
        }
    }
    Component {
        id: memberRow
        ItemDelegate {
            id: row
            property var modelData: ({})
            onClicked: root.openMember(modelData.memberID)
            Accessible.name: root.memberName(modelData.memberID)
            contentItem: Row {
                spacing: 12
                FileImage {
                    anchors.verticalCenter: parent.verticalCenter
                    size: 40
                    circle: true
                    source: root.thumb(row.modelData.memberID, 40)
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: root.memberName(row.modelData.memberID)
                    font: Base.bodyStrong
                    color: Base.ink
                }
            }
        }
    }
    Component {
        id: visitorPicture
        Item {
            id: visitor
            property var modelData: ({})
            FileImage {
                size: 96
                source: ImageCache.source(root.servicePath(visitor.modelData.imageFile), 96, ImageCache.generation)
                Hint { text: "First seen " + Formats.clock(visitor.modelData.firstSeen) }
                Accessible.name: "First seen " + Formats.clock(visitor.modelData.firstSeen)
            }
        }
    }

    // Delete
    Dialog {
        id: confirmDelete
        anchors.centerIn: parent
        modal: true
        title: "Delete " + (root.service ? root.service.label : "") + "?"
        Text {
            text: "The original recording is kept."
            font: Base.bodyMD
            color: Base.body
        }
        footer: DialogButtonBox {
            PillButton { text: "Cancel"; kind: "subtle"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PillButton {
                objectName: "confirmDeleteButton"
                text: "Delete"; kind: "primary"
                DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
                onClicked: {
                    confirmDelete.close();
                    root.appModel.deleteService(root.serviceID);
                    root.deleted();
                }
            }
        }
    }

    // Export
    function exportName() {
        return service ? Formats.exportName(service.date) : "attendance.csv";
    }
    function startExport() {
        exportDialog.selectedFile = exportDialog.currentFolder.toString() + "/" + exportName();
        exportDialog.open();
    }
    FileDialog {
        id: exportDialog
        title: "Export register"
        fileMode: FileDialog.SaveFile
        acceptLabel: "Save"
        defaultSuffix: "csv"
        nameFilters: ["Comma-separated values (*.csv)"]
        currentFolder: Desktop.documentsFolder()
        onAccepted: root.appModel.exportRegister(root.serviceID, selectedFile)
    }
}
