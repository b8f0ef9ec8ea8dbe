import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// A sheet that adds one member by name.
Popup {
    id: sheet
    required property AppModel appModel
    property string name: ""
    signal created(string memberID)

    parent: Overlay.overlay
    anchors.centerIn: parent
    modal: true
    // A click on the dimmed window would throw away what was typed and chosen: only Cancel and
    // Escape close the sheet.
    closePolicy: Popup.CloseOnEscape
    focus: true
    padding: 24
    width: 380
    onOpened: {
        name = "";
        field.text = "";
        field.forceActiveFocus();
    }
    background: Rectangle { radius: 16; color: Base.canvas }

    function create() {
        if (Sources.trimmed(name) === "" || !appModel.writable)
            return;
        const id = appModel.addMember(name);
        close();
        if (id)
            created(id);
    }

    contentItem: ColumnLayout {
        spacing: 16
        Icon {
            Layout.alignment: Qt.AlignHCenter
            symbol: "person.badge.plus"
            size: 36
        }
        TextField {
            id: field
            objectName: "nameField"
            Layout.fillWidth: true
            placeholderText: "Full name"
            font: Base.bodyMD
            onTextEdited: sheet.name = text
            onAccepted: sheet.create()
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 8
            PillButton { kind: "subtle"; symbol: "xmark"; text: "Cancel"; onClicked: sheet.close() }
            PillButton {
                objectName: "addButton"
                kind: "primary"; symbol: "checkmark"; text: "Add"
                enabled: Sources.trimmed(sheet.name) !== "" && sheet.appModel.writable
                onClicked: sheet.create()
            }
        }
    }
}
