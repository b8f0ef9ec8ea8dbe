import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components

// The window's content: the sidebar of sections (and the live session while there is one) beside
// the section's page, with a navigation path of routes pushed over it, and the two sheets.
// A route is {kind: "service" | "member" | "live", id}.
Item {
    id: root
    required property AppModel appModel
    property string section: "home"
    property var path: []
    property bool showNewService: false
    property bool showNewMember: false
    readonly property var current: path.length > 0 ? path[path.length - 1] : null
    property bool optionsApplied: false
    // The members page opens on its "Away" filter (from the home page's follow-up card).
    property bool membersAway: false

    onSectionChanged: {
        path = [];
        if (section !== "members")
            membersAway = false;
    }

    function push(route) {
        path = path.concat([route]);
    }
    function pop() {
        if (path.length > 0)
            path = path.slice(0, path.length - 1);
    }
    // Selects a section and, on the next turn of the event loop (after a closing sheet has gone),
    // replaces the path.
    function showLater(sectionName, route, delay) {
        section = sectionName;
        later.route = route;
        later.interval = delay || 0;
        later.restart();
    }

    Timer {
        id: later
        property var route: null
        onTriggered: if (route) root.path = [route]
    }

    Connections {
        target: root.appModel
        function onNewService() { root.showNewService = true; }
        function onNewMember() { root.showNewMember = true; }
        function onGotoMembers() { root.section = "members"; }
    }

    // The command line's window options, once, when the window is first shown.
    function applyOptions() {
        if (optionsApplied)
            return;
        optionsApplied = true;
        const services = appModel.services;
        const first = services.count > 0 ? services.data(services.index(0, 0), ServiceListModel.IdRole) : "";
        for (const step of appModel.options.windowActions(first)) {
            switch (step.action) {
            case "section":
                section = step.value;
                break;
            case "openService":
                showLater("services", { kind: "service", id: step.value }, 300);
                break;
            case "newService":
                showNewService = true;
                break;
            case "liveStream":
                // The model starts the stream once the library is the window's.
                showLater("services", { kind: "live", id: "" }, 300);
                break;
            case "openMember":
                showLater("members", { kind: "member", id: step.value }, 300);
                break;
            }
        }
    }
    Component.onCompleted: applyOptions()

    RowLayout {
        anchors.fill: parent
        spacing: 0

        // Sidebar
        Rectangle {
            Layout.fillHeight: true
            Layout.preferredWidth: 210
            color: Base.softer
            ColumnLayout {
                anchors.fill: parent
                anchors.margins: 12
                anchors.topMargin: 16
                spacing: 4
                Repeater {
                    model: [{ key: "home", title: "Home", symbol: "house" },
                            { key: "services", title: "Services", symbol: "list.bullet.rectangle" },
                            { key: "members", title: "Members", symbol: "person.2" }]
                    delegate: SidebarRow {
                        required property var modelData
                        Layout.fillWidth: true
                        symbol: modelData.symbol
                        title: modelData.title
                        selected: root.section === modelData.key && !(root.current && root.current.kind === "live")
                        onClicked: {
                            root.section = modelData.key;
                            root.path = [];
                        }
                    }
                }
                SidebarRow {
                    Layout.fillWidth: true
                    visible: root.appModel.live !== null
                    title: "Live"
                    dot: true
                    hint: "Back to the live session"
                    selected: root.current !== null && root.current.kind === "live"
                    onClicked: root.showLater("services", { kind: "live", id: "" }, 0)
                }
                Item { Layout.fillHeight: true }
                EngineStatus {
                    appModel: root.appModel
                    Layout.leftMargin: 8
                    Layout.bottomMargin: 4
                }
            }
        }

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 0

            // Toolbar: back along the path, and the one primary action.
            RowLayout {
                Layout.fillWidth: true
                Layout.margins: 12
                spacing: 8
                CircleIconButton {
                    visible: root.path.length > 0
                    symbol: "arrow.right"
                    rotation: 180
                    hint: "Back"
                    onClicked: root.pop()
                }
                Item { Layout.fillWidth: true; implicitHeight: 34 }
                PillButton {
                    objectName: "takeAttendanceButton"
                    kind: "primary"
                    symbol: "plus.viewfinder"
                    text: ""
                    hint: "Take attendance (Ctrl+N)"
                    Accessible.name: "Take attendance"
                    enabled: root.appModel.writable
                    onClicked: root.showNewService = true
                }
            }

            Loader {
                id: page
                Layout.fillWidth: true
                Layout.fillHeight: true
                sourceComponent: {
                    if (root.current) {
                        switch (root.current.kind) {
                        case "service": return servicePage;
                        case "member": return memberPage;
                        case "live": return livePage;
                        }
                    }
                    switch (root.section) {
                    case "services": return servicesPage;
                    case "members": return membersPage;
                    default: return homePage;
                    }
                }
            }
        }
    }

    Component {
        id: homePage
        HomeView {
            appModel: root.appModel
            onOpenService: id => root.push({ kind: "service", id: id })
            onNewService: root.showNewService = true
            onOpenMember: id => root.push({ kind: "member", id: id })
            onShowAway: {
                root.section = "members";
                root.membersAway = true;
            }
        }
    }
    Component {
        id: servicesPage
        ServicesView {
            appModel: root.appModel
            onOpenService: id => root.push({ kind: "service", id: id })
            onNewService: root.showNewService = true
        }
    }
    Component {
        id: membersPage
        MembersView {
            appModel: root.appModel
            awayOnly: root.membersAway
            onAwayOnlyChanged: root.membersAway = awayOnly
            onOpenMember: id => root.push({ kind: "member", id: id })
            onNewMember: root.showNewMember = true
        }
    }
    Component {
        id: servicePage
        ServiceDetailView {
            appModel: root.appModel
            serviceID: root.current ? root.current.id : ""
            onDeleted: root.pop()
            onOpenMember: id => root.push({ kind: "member", id: id })
        }
    }
    Component {
        id: memberPage
        MemberDetailView {
            appModel: root.appModel
            memberID: root.current ? root.current.id : ""
            onDeleted: root.pop()
            onOpenService: id => root.push({ kind: "service", id: id })
        }
    }
    Component {
        id: livePage
        LiveView {
            appModel: root.appModel
            onSaved: id => root.path = [{ kind: "service", id: id }]
            onDiscarded: root.path = []
        }
    }

    NewServiceSheet {
        id: newServiceSheet
        appModel: root.appModel
        visible: root.showNewService
        onClosed: root.showNewService = false
        onCreated: id => root.showLater("services", { kind: "service", id: id }, 0)
        onWentLive: root.showLater("services", { kind: "live", id: "" }, 0)
    }
    NewMemberSheet {
        appModel: root.appModel
        visible: root.showNewMember
        onClosed: root.showNewMember = false
        onCreated: id => root.showLater("members", { kind: "member", id: id }, 0)
    }
}
