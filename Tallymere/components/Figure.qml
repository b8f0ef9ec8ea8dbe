import QtQuick

// A figure that changes while one watches (a clock, a count): as wide as its text would be with
// every digit as wide as the widest, so that it and what sits beside it do not shift as it counts.
// Inter's tabular digits are an OpenType feature this Qt cannot switch on.
Text {
    id: root
    readonly property real digitWidth: {
        let widest = 0;
        for (let d = 0; d < 10; ++d)
            widest = Math.max(widest, metrics.advanceWidth(String(d)));
        return widest;
    }
    readonly property real steadyWidth: {
        let total = 0;
        for (const ch of text)
            total += ch >= "0" && ch <= "9" ? digitWidth : metrics.advanceWidth(ch);
        return Math.ceil(total);
    }
    width: steadyWidth
    horizontalAlignment: Text.AlignRight
    FontMetrics {
        id: metrics
        font: root.font
    }
}
