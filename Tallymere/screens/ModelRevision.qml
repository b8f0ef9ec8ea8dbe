import QtQuick
import Tallymere

// A number that grows whenever the model's services or members change, so bindings that read one
// record through the model's look-ups are evaluated again.
QtObject {
    id: root
    required property AppModel appModel
    property int value: 0
    function bump() { value += 1; }
    readonly property Connections services: Connections {
        target: root.appModel.services
        function onDataChanged() { root.bump(); }
        function onRowsInserted() { root.bump(); }
        function onRowsRemoved() { root.bump(); }
        function onModelReset() { root.bump(); }
    }
    readonly property Connections members: Connections {
        target: root.appModel
        function onMembersChanged() { root.bump(); }
        function onCheckingMembersChanged() { root.bump(); }
    }
}
