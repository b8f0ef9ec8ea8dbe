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
    // The review tab empties as the operator decides; with nothing left the present tab shows.
    onReviewChanged: if (tab === "review" && review.length === 0) tab = "present"

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
        return m.name !== undefined ? m.name : (id || "");
    }
    // A file in the service's folder (evidence and visitor snapshots); "" without a name.
    function servicePath(file) {
        return file ? appModel.libraryRoot + "/services/" + serviceID + "/" + file : "";
    }
    // What the operator decided on a line, and when.
    function correctionHint(m) {
        const what = m.decision === "confirmed" ? "Confirmed by operator"
                   : m.decision === "present" ? "Marked present by operator" : "Marked absent by operator";
        return m.decided ? what + " \u00b7 " + m.decided.toLocaleString(Qt.locale(), Locale.ShortFormat) : what;
    }
    // "This is…" on a visitor: the member picker.
    function askWhoIs(visitor) {
        picker.openFor(visitor);
    }
    function correct(m, decision) {
        appModel.correct(serviceID, m.memberID, decision);
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
                onClicked: root.results && root.results.corrected ? confirmProcessAgain.open()
                                                                  : root.appModel.enqueue(root.serviceID)
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
            id: cardItem
            property var modelData: ({})
            TapHandler {
                acceptedButtons: Qt.RightButton
                onTapped: point => cardMenu.popup(point.position.x, point.position.y)
            }
            LineMenu { id: cardMenu; line: cardItem.modelData }
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
                        CorrectedMark { line: card.parent.modelData }
                        Chip {
                            visible: card.parent.modelData.confidence !== undefined
                                     && card.parent.modelData.confidence !== null
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
            TapHandler {
                acceptedButtons: Qt.RightButton
                onTapped: point => rowMenu.popup(point.position.x, point.position.y)
            }
            LineMenu { id: rowMenu; line: row.modelData }
            contentItem: RowLayout {
                spacing: 12
                FileImage {
                    Layout.alignment: Qt.AlignVCenter
                    size: 40
                    circle: true
                    source: root.thumb(row.modelData.memberID, 40)
                }
                Text {
                    Layout.fillWidth: true
                    text: root.memberName(row.modelData.memberID)
                    font: Base.bodyStrong
                    color: Base.ink
                    elide: Text.ElideRight
                }
                CorrectedMark { line: row.modelData }
                Text {
                    visible: root.tab === "review"
                    text: row.modelData.reviewReason || ""
                    font: Base.bodyMD
                    color: Base.body
                }
                // On the review tab the decisions are buttons as well.
                PillButton {
                    objectName: "confirmButton"
                    visible: root.tab === "review"
                    text: "Confirm"
                    kind: "subtle"
                    enabled: root.appModel.writable
                    onClicked: root.correct(row.modelData, "confirmed")
                }
                PillButton {
                    objectName: "markAbsentButton"
                    visible: root.tab === "review"
                    text: row.modelData.present ? "Mark absent" : "Mark present"
                    kind: "subtle"
                    enabled: root.appModel.writable
                    onClicked: root.correct(row.modelData, row.modelData.present ? "absent" : "present")
                }
            }
        }
    }
    Component {
        id: visitorPicture
        Item {
            id: visitor
            property var modelData: ({})
            TapHandler {
                acceptedButtons: Qt.LeftButton | Qt.RightButton
                onTapped: point => visitorMenu.popup(point.position.x, point.position.y)
            }
            Menu {
                id: visitorMenu
                MenuItem {
                    objectName: "thisIsMenuItem"
                    text: "This is\u2026"
                    enabled: root.appModel.writable
                    onTriggered: root.askWhoIs(visitor.modelData)
                }
            }
            FileImage {
                size: 96
                source: ImageCache.source(root.servicePath(visitor.modelData.imageFile), 96, ImageCache.generation)
                Hint { text: "First seen " + Formats.clock(visitor.modelData.firstSeen) }
                Accessible.name: "First seen " + Formats.clock(visitor.modelData.firstSeen)
            }
        }
    }

    // The decisions the operator can make on a member's line: those that change something.
    component LineMenu: Menu {
        id: menu
        property var line: ({})
        readonly property bool corrected: !!line.decision
        MenuItem {
            objectName: "confirmMenuItem"
            text: "Confirm"
            visible: menu.line.decision !== "confirmed"
            height: visible ? implicitHeight : 0
            enabled: root.appModel.writable
            onTriggered: root.correct(menu.line, "confirmed")
        }
        MenuItem {
            objectName: "markPresentMenuItem"
            text: "Mark present"
            visible: !menu.line.present
            height: visible ? implicitHeight : 0
            enabled: root.appModel.writable
            onTriggered: root.correct(menu.line, "present")
        }
        MenuItem {
            objectName: "markAbsentMenuItem"
            text: "Mark absent"
            visible: !!menu.line.present
            height: visible ? implicitHeight : 0
            enabled: root.appModel.writable
            onTriggered: root.correct(menu.line, "absent")
        }
        MenuItem {
            objectName: "restoreMenuItem"
            text: "Restore automatic decision"
            visible: menu.corrected
            height: visible ? implicitHeight : 0
            enabled: root.appModel.writable
            onTriggered: root.correct(menu.line, "restore")
        }
    }

    // Shows that the operator decided a line, and what and when in its hint.
    component CorrectedMark: Icon {
        property var line: ({})
        visible: !!line.decision
        symbol: "pencil"
        size: 14
        color: Base.body
        Hint { text: parent.visible ? root.correctionHint(parent.line) : "" }
        Accessible.name: visible ? root.correctionHint(line) : ""
    }

    // "This is…": the member a visitor is, found by name or ID.
    Dialog {
        id: picker
        objectName: "visitorPicker"
        anchors.centerIn: parent
        modal: true
        title: "Who is this visitor?"
        width: 420
        property var visitor: ({})
        property string chosen: ""
        function openFor(v) {
            visitor = v;
            chosen = "";
            search.text = "";
            addPhoto.checked = false;
            open();
            search.forceActiveFocus();
        }
        // The members on this register, filtered by name or ID.
        readonly property var matches: {
            if (!root.results) return [];
            const q = search.text.trim().toLowerCase();
            return root.results.members.map(m => ({ memberID: m.memberID, name: root.memberName(m.memberID) }))
                .filter(m => q === "" || m.name.toLowerCase().includes(q) || m.memberID.toLowerCase().includes(q));
        }
        ColumnLayout {
            anchors.fill: parent
            spacing: 10
            RowLayout {
                spacing: 12
                FileImage {
                    size: 64
                    source: ImageCache.source(root.servicePath(picker.visitor.imageFile), 64, ImageCache.generation)
                }
                TextField {
                    id: search
                    objectName: "visitorSearch"
                    Layout.fillWidth: true
                    placeholderText: "Search by name or ID"
                }
            }
            ListView {
                id: choices
                objectName: "visitorChoices"
                Layout.fillWidth: true
                Layout.preferredHeight: 200
                clip: true
                model: picker.matches
                delegate: ItemDelegate {
                    required property var modelData
                    width: choices.width
                    text: modelData.name + "  \u00b7  " + modelData.memberID
                    highlighted: picker.chosen === modelData.memberID
                    onClicked: picker.chosen = modelData.memberID
                }
            }
            CheckBox {
                id: addPhoto
                objectName: "addPhotoCheck"
                visible: picker.chosen !== ""
                text: "Also add this face to " + (picker.chosen ? root.memberName(picker.chosen) : "") + "'s photos"
            }
        }
        footer: DialogButtonBox {
            PillButton { text: "Cancel"; kind: "subtle"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PillButton {
                objectName: "nameVisitorButton"
                text: picker.chosen ? "This is " + root.memberName(picker.chosen) : "This is\u2026"
                kind: "primary"
                enabled: picker.chosen !== ""
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
                onClicked: {
                    picker.close();
                    root.appModel.nameVisitor(root.serviceID, picker.visitor.id, picker.chosen, addPhoto.checked);
                }
            }
        }
    }

    // Processing again keeps the operator's decisions about members, not the visitors named.
    Dialog {
        id: confirmProcessAgain
        anchors.centerIn: parent
        modal: true
        title: "Process " + (root.service ? root.service.label : "") + " again?"
        Text {
            text: "Your decisions about members are kept. Visitors you named as members are found afresh."
            font: Base.bodyMD
            color: Base.body
            wrapMode: Text.Wrap
            width: 360
        }
        footer: DialogButtonBox {
            PillButton { text: "Cancel"; kind: "subtle"; DialogButtonBox.buttonRole: DialogButtonBox.RejectRole }
            PillButton {
                objectName: "confirmProcessAgainButton"
                text: "Process again"; kind: "primary"
                DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
                onClicked: {
                    confirmProcessAgain.close();
                    root.appModel.enqueue(root.serviceID);
                }
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
