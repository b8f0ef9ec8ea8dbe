import QtQuick
import QtQuick.Controls
import QtTest
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// Each page rendered offscreen from the seeded library and compared with its reference picture in
// tests/screens/references (see the README for refreshing them). The rendered pictures are kept
// under the build folder's screens-rendered/ for looking at.
TestCase {
    id: testCase
    name: "Rendering"
    width: 1100
    height: 760
    visible: true
    when: windowShown

    readonly property string sundayID: "20240310-103000-a1b2"
    readonly property string failedID: "20240303-180000-c3d4"

    Component { id: home; HomeView { appModel: testModel } }
    Component { id: services; ServicesView { appModel: testModel } }
    Component { id: service; ServiceDetailView { appModel: testModel } }
    Component { id: members; MembersView { appModel: testModel } }
    Component { id: member; MemberDetailView { appModel: testModel } }
    Component { id: sheet; NewServiceSheet { appModel: testModel } }

    Rectangle {
        id: stage
        width: 1100
        height: 760
        color: Base.canvas
    }

    function initTestCase() {
        tryVerify(() => testModel.writable, 5000, "the model takes the library");
        verify(renderCheck.makeFolder(renderFolder));
    }

    // Renders the page, saves it and compares it with its reference.
    function check(name, item) {
        // Thumbnails decode in the background; give them time to arrive and settle.
        wait(600);
        const image = grabImage(stage);
        const rendered = renderFolder + "/" + name + ".png";
        image.save(rendered);
        const mismatch = renderCheck.mismatch(rendered, referenceFolder + "/" + name + ".png");
        if (mismatch < 0)
            skip("no reference picture for " + name + "; see tests/screens/README.md");
        verify(mismatch !== 2, "unreadable or resized: " + rendered);
        verify(mismatch <= 0.01, name + ": " + (mismatch * 100).toFixed(2) + "% of pixels differ from the reference");
    }

    function page(component, properties) {
        const props = properties || {};
        props.width = stage.width;
        props.height = stage.height;
        return createTemporaryObject(component, stage, props);
    }

    function test_home() { page(home); check("home"); }
    function test_services() { page(services); check("services"); }
    function test_service_review() { page(service, { serviceID: sundayID }); check("service-review"); }
    function test_service_present() {
        const p = page(service, { serviceID: sundayID });
        p.tab = "present";
        check("service-present");
    }
    function test_service_visitors() {
        const p = page(service, { serviceID: sundayID });
        p.tab = "visitors";
        check("service-visitors");
    }
    function test_service_failed() { page(service, { serviceID: failedID }); check("service-failed"); }
    function test_members() { page(members); check("members"); }
    function test_member() { page(member, { memberID: "M0002" }); check("member"); }
    function test_new_service_sheet() {
        const s = createTemporaryObject(sheet, stage);
        s.parent = stage;
        s.open();
        tryVerify(() => s.opened);
        check("new-service");
        s.close();
    }
}
