import QtQuick
import Tallymere
import Tallymere.Components

// The face models' state at the foot of the sidebar: a spinner while they load, a chip when
// ready, a warning whose hint is the error when loading failed. A window that may not change the
// library loads no models until it may, and says so rather than seeming to load.
Item {
    id: root
    required property AppModel appModel
    readonly property bool loading: !appModel.engineReady && appModel.engineError === "" && appModel.writable
    readonly property string hint: appModel.engineError !== "" ? appModel.engineError
                                 : appModel.engineReady ? "Face models ready (recogniser: " + appModel.enginePrecision + ")"
                                 : appModel.writable ? "Loading face models"
                                 : "Face models load once this window can change the library"
    implicitWidth: 24
    implicitHeight: 24
    Accessible.role: Accessible.StaticText
    Accessible.name: hint

    Spinner {
        anchors.centerIn: parent
        visible: root.loading
        size: 14
    }
    Icon {
        anchors.centerIn: parent
        visible: !root.loading
        symbol: root.appModel.engineError !== "" ? "exclamationmark.triangle" : "cpu"
        size: 18
        color: Base.body
    }
    Hint {
        text: root.hint
    }
}
