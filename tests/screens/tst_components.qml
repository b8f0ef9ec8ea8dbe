import QtQuick
import QtTest
import Tallymere.Components

TestCase {
    id: testCase
    name: "Components"
    width: 640
    height: 480
    when: windowShown

    Component {
        id: overlay
        FaceOverlay {
            width: 400
            height: 400
            frameWidth: 1920
            frameHeight: 1080
            nameOf: id => id === "M0001" ? "Ada Lovelace" : id
        }
    }
    Component {
        id: progress
        BaseProgressBar {
            width: 200
        }
    }
    Component {
        id: glyph
        Icon {
            size: 24
        }
    }

    function childNamed(item, name) {
        for (let i = 0; i < item.children.length; ++i)
            if (item.children[i].objectName === name)
                return item.children[i];
        return null;
    }

    function test_face_rectangles_on_a_letterboxed_frame() {
        // 1920×1080 in 400×400: scale 400/1920, bands of (400 − 225) / 2 above and below.
        const s = 400 / 1920;
        const f = FaceGeometry.fit(400, 400, 1920, 1080);
        fuzzyCompare(f.s, s, 1e-9);
        fuzzyCompare(f.ox, 0, 1e-9);
        fuzzyCompare(f.oy, 87.5, 1e-9);
        const r = FaceGeometry.faceRect([960, 540, 1152, 780], 400, 400, 1920, 1080);
        fuzzyCompare(r.x, 200, 1e-9);
        fuzzyCompare(r.y, 87.5 + 540 * s, 1e-9);
        fuzzyCompare(r.width, 192 * s, 1e-9);
        fuzzyCompare(r.height, 240 * s, 1e-9);
        // A portrait frame in a wide view is pillarboxed instead.
        const p = FaceGeometry.fit(800, 400, 1080, 1920);
        fuzzyCompare(p.oy, 0, 1e-9);
        fuzzyCompare(p.ox, (800 - 1080 * 400 / 1920) / 2, 1e-9);

        const item = createTemporaryObject(overlay, testCase, {
            faces: [{ box: [960, 540, 1152, 780], memberID: "M0001" }, { box: [0, 0, 96, 96], memberID: "" }] });
        const faces = [];
        for (let i = 0; i < item.children.length; ++i)
            if (item.children[i].objectName.startsWith("face"))
                faces.push(item.children[i]);
        compare(faces.length, 2);
        const known = faces.find(c => c.objectName === "face0");
        fuzzyCompare(known.x, 200, 1e-6);
        fuzzyCompare(known.y, 87.5 + 540 * s, 1e-6);
        fuzzyCompare(known.width, 192 * s, 1e-6);
        // The name tag sits centred on the top edge, 20 points up, only on a recognised face.
        const tag = childNamed(known, "tag");
        verify(known.recognised);
        fuzzyCompare(tag.x + tag.width / 2, known.width / 2, 1e-6);
        compare(tag.y, -20);
        const unknown = faces.find(c => c.objectName === "face1");
        verify(!unknown.recognised);
        fuzzyCompare(unknown.y, 87.5, 1e-6);
    }

    function faceNamed(item, name) {
        for (let i = 0; i < item.children.length; ++i)
            if (item.children[i].objectName === name)
                return item.children[i];
        return null;
    }

    function test_a_track_keeps_its_box_which_glides_to_where_it_moved() {
        const item = createTemporaryObject(overlay, testCase, {
            faces: [{ box: [0, 0, 192, 192], memberID: "M0001", trackID: 7 }] });
        const first = faceNamed(item, "face7");
        verify(first);
        fuzzyCompare(first.x, 0, 1e-6);
        item.faces = [{ box: [960, 0, 1152, 192], memberID: "M0001", trackID: 7 },
                      { box: [0, 540, 96, 636], memberID: "", trackID: 9 }];
        const moved = faceNamed(item, "face7");
        verify(moved === first, "the same box, not a new one");
        verify(moved.x < 200, "moving, not jumping");
        tryCompare(moved, "x", 200, 1000);
        verify(faceNamed(item, "face9"));
        item.faces = [{ box: [0, 540, 96, 636], memberID: "", trackID: 9 }];
        verify(!faceNamed(item, "face7"));
    }

    Component { id: figure; Figure { font.family: "Inter"; font.pixelSize: 14 } }

    function test_a_counting_figure_keeps_its_width() {
        const item = createTemporaryObject(figure, testCase, { text: "0:11:11" });
        const narrow = item.width;
        item.text = "0:00:08";
        compare(item.width, narrow);
        item.text = "12 / 340";
        const count = item.width;
        item.text = "11 / 111";
        compare(item.width, count);
    }

    function test_progress_reads_as_percent() {
        const bar = createTemporaryObject(progress, testCase, { value: 0.426 });
        compare(bar.Accessible.name, "Progress");
        compare(bar.valueText, "42 percent");
        bar.value = undefined;
        compare(bar.valueText, "in progress");
        bar.value = 1;
        compare(bar.valueText, "100 percent");
    }

    function test_every_symbol_is_one_glyph() {
        // A ligature the font lacks would draw its letters: many times wider than one glyph.
        const item = createTemporaryObject(glyph, testCase);
        for (const symbol in Icons.glyphs) {
            item.symbol = symbol;
            verify(item.text !== "", symbol);
            verify(item.contentWidth > 0 && item.contentWidth <= 26, symbol + ": " + item.contentWidth);
        }
        compare(Icons.glyph("no.such.symbol"), "");
    }
}
