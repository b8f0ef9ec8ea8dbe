import QtQuick
import QtQuick.Controls
import QtTest
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// The live page against a stand-in controller with the observable fields it reads.
TestCase {
    id: testCase
    name: "Live"
    width: 1100
    height: 760
    visible: true
    when: windowShown

    QtObject {
        id: controller
        property string label: "Live"
        property string state: "idle"
        property string message: ""
        property var faces: []
        property real frameWidth: 1920
        property real frameHeight: 1080
        property var presence: []
        property real elapsed: 0
        property string serviceID: "20240310-110000-beef"
        property int starts: 0
        property int finishes: 0
        property string finishedLabel: ""
        function start() { starts += 1; state = "running"; }
        function finish(label) { finishes += 1; finishedLabel = label; state = "finishing"; }
        function discard() { state = "idle"; }
    }
    Component { id: livePage; LiveView { width: 1100; height: 760; appModel: testModel } }
    Component { id: timedLivePage; LiveView { width: 1100; height: 760; appModel: testModel; stopAfterSeconds: 0.1 } }
    SignalSpy { id: saved; signalName: "saved" }

    function findText(item, text) {
        if (item.text === text)
            return item;
        const children = item.children || [];
        for (let i = 0; i < children.length; ++i) {
            const found = findText(children[i], text);
            if (found)
                return found;
        }
        if (item.contentItem && item.contentItem !== item)
            return findText(item.contentItem, text);
        return null;
    }

    function cleanup() {
        testSupport.setLive(null);
        controller.finishes = 0;
    }

    function test_the_page_starts_an_idle_controller_and_saves_once_finished() {
        controller.label = "Sunday live";
        controller.state = "idle";
        controller.starts = 0;
        testSupport.setLive(controller);
        const page = createTemporaryObject(livePage, testCase);
        saved.target = page;
        compare(controller.starts, 1);
        compare(controller.state, "running");
        verify(findText(page, "Sunday live") !== null);
        controller.elapsed = 65;
        verify(findText(page, "0:01:05") !== null);
        controller.faces = [{ box: [100, 100, 200, 220], memberID: "M0002" }, { box: [400, 100, 480, 200], memberID: "" }];
        verify(findText(page, "2") !== null, "faces in view");
        controller.presence = [{ memberID: "M0002", firstSeen: 12 }, { memberID: "M0404", firstSeen: 30 }];
        compare(page.nameOf("M0002"), "Grace Hopper");
        compare(page.nameOf("M0404"), "M0404");
        verify(findText(page, "2 / 2") !== null, "recognised so far of the recognisable");

        const stop = findText(page, "Stop & save");
        verify(stop.enabled);
        stop.clicked();
        compare(controller.finishes, 1);
        compare(controller.finishedLabel, "Sunday live");
        verify(findText(page, "Saving\u2026") !== null);
        verify(!findText(page, "Saving\u2026").enabled, "not finished twice");
        compare(saved.count, 0);
        controller.state = "idle";
        compare(saved.count, 1);
        compare(saved.signalArguments[0][0], "20240310-110000-beef");
    }

    function test_a_failed_controller_is_not_started_again_and_shows_its_message() {
        controller.state = "failed";
        controller.message = "Camera unavailable";
        controller.starts = 0;
        testSupport.setLive(controller);
        const page = createTemporaryObject(livePage, testCase);
        compare(controller.starts, 0);
        verify(findText(page, "Camera unavailable") !== null);
        verify(!findText(page, "Stop & save").enabled);
    }

    function test_stop_after_counts_from_when_the_session_runs() {
        controller.state = "idle";
        controller.finishes = 0;
        testSupport.setLive(controller);
        const page = createTemporaryObject(timedLivePage, testCase);
        // Still loading the face models: the time does not run yet.
        controller.state = "starting";
        wait(300);
        compare(controller.finishes, 0);
        // A controller that arrives later is started when the page shows it.
        controller.state = "idle";
        testSupport.setLive(null);
        testSupport.setLive(controller);
        compare(controller.state, "running");
        tryCompare(controller, "finishes", 1, 2000);
    }
}
