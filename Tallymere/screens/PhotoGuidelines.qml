import QtQuick
import Tallymere.Components

// The five rules for good enrolment photos, each an icon over a short title with its sentence as
// the hint; read out as one element.
Row {
    id: root
    spacing: 18
    readonly property var rules: [
        { symbol: "photo.stack", title: "3\u201310", sentence: "3 to 10 photos: different days, with and without glasses" },
        { symbol: "face.smiling", title: "Clear", sentence: "Face sharp and well lit, at least 112 px across. No sunglasses or masks" },
        { symbol: "person.crop.square", title: "Front", sentence: "Mostly facing the camera; side profiles are rejected" },
        { symbol: "person", title: "Solo", sentence: "Ideally just them. Group photos work if they also have a solo one" },
        { symbol: "calendar", title: "Recent", sentence: "Taken within the last 2\u20133 years" }
    ]
    Accessible.role: Accessible.StaticText
    Accessible.name: "Photo tips: " + rules.map(r => r.sentence).join(". ")

    Repeater {
        model: root.rules
        delegate: Column {
            required property var modelData
            spacing: 4
            Accessible.ignored: true
            Icon {
                anchors.horizontalCenter: parent.horizontalCenter
                symbol: parent.modelData.symbol
                size: 20
                color: Base.body
            }
            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: parent.modelData.title
                font: Base.caption2Base
                color: Base.body
            }
            Hint {
                text: parent.modelData.sentence
            }
        }
    }
}
