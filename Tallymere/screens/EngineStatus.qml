import QtQuick
import Tallymere
import Tallymere.Components

// The face models' state at the foot of the sidebar: a spinner while they load, a chip when
// ready, a warning whose hint is the error when loading failed.
Item {
    id: root
    required property AppModel appModel
    readonly property string hint: appModel.engineError !== "" ? appModel.engineError
                                 : appModel.engineReady ? "Face models ready" : "Loading face models"
    implicitWidth: 24
    implicitHeight: 24
    Accessible.role: Accessible.StaticText
    Accessible.name: hint

    Spinner {
        anchors.centerIn: parent
        visible: !root.appModel.engineReady && root.appModel.engineError === ""
        size: 14
    }
    Icon {
        anchors.centerIn: parent
        visible: root.appModel.engineReady || root.appModel.engineError !== ""
        symbol: root.appModel.engineError !== "" ? "exclamationmark.triangle" : "cpu"
        size: 18
        color: Base.body
    }
    Hint {
        text: root.hint
    }
}
