import QtQuick
import QtQuick.Controls
import QtTest
import Tallymere
import Tallymere.Components
import Tallymere.Screens

// The screens against an application model over a seeded library (see screens_main.cpp).
TestCase {
    id: testCase
    name: "Screens"
    width: 1100
    height: 760
    when: windowShown
    visible: true

    readonly property string sundayID: "20240310-103000-a1b2"
    readonly property string failedID: "20240303-180000-c3d4"
    readonly property string liveID: "20240306-190000-e5f6"

    Component { id: servicePage; ServiceDetailView { width: 1100; height: 760; appModel: testModel } }
    Component { id: membersPage; MembersView { width: 1100; height: 760; appModel: testModel } }
    Component { id: newServiceSheet; NewServiceSheet { appModel: testModel } }
    Component { id: memberFilter; MemberFilter {} }
    Component { id: signalSpy; SignalSpy {} }
    Component { id: homePage; HomeView { width: 1100; height: 760; appModel: testModel } }
    Component { id: memberPage; MemberDetailView { width: 1100; height: 760; appModel: testModel } }

    function findNamed(item, name) {
        if (!item)
            return null;
        if (item.objectName === name)
            return item;
        const children = item.children || [];
        for (let i = 0; i < children.length; ++i) {
            const found = findNamed(children[i], name);
            if (found)
                return found;
        }
        if (item.contentItem && item.contentItem !== item) {
            const found = findNamed(item.contentItem, name);
            if (found)
                return found;
        }
        return null;
    }

    function initTestCase() {
        tryVerify(() => testModel.writable, 5000, "the model takes the library");
    }

    function test_process_again_only_for_finished_failed_or_cancelled_with_recording() {
        const cases = [[sundayID, true], [failedID, true], [liveID, false]];
        for (const [id, offered] of cases) {
            const page = createTemporaryObject(servicePage, testCase, { serviceID: id });
            compare(findNamed(page, "processAgainButton").visible, offered, id);
            // A live service has no recording to show either.
            compare(findNamed(page, "showRecordingButton").visible, id !== liveID, id);
        }
        verify(!Rules.canProcessAgain("queued", ["/a.mp4"]));
        verify(!Rules.canProcessAgain("processing", ["/a.mp4"]));
        verify(Rules.canProcessAgain("cancelled", ["/a.mp4"]));
        verify(!Rules.canProcessAgain("done", []));
    }

    function test_register_export() {
        const page = createTemporaryObject(servicePage, testCase, { serviceID: sundayID });
        compare(page.exportName(), "attendance-2024-03-10.csv");
        verify(findNamed(page, "exportButton").visible);
        testModel.dismissNotice(); // the seeded library's missing face models
        const file = "file://" + testLibraryRoot + "/../export.csv";
        verify(testModel.exportRegister(sundayID, file));
        compare(testModel.notice, "");
        // A folder that is not there: nothing written, and the window says why.
        const nowhere = "file://" + testLibraryRoot + "/../no-such-folder/export.csv";
        verify(!testModel.exportRegister(sundayID, nowhere));
        verify(testModel.notice.indexOf("Couldn't write " + testLibraryRoot) === 0, testModel.notice);
        testModel.dismissNotice();
        compare(testModel.notice, "");
    }

    function test_results_open_on_review_with_the_lists_split() {
        const page = createTemporaryObject(servicePage, testCase, { serviceID: sundayID });
        compare(page.tab, "review");
        compare(page.present.length, 2);
        compare(page.review.length, 1);
        compare(page.review[0].memberID, "M0001");
        compare(page.absent.length, 1);
        compare(page.visitors.length, 1);
        compare(page.memberName("M0002"), "Grace Hopper");
        compare(page.memberName("M0099"), "M0099");
        // Without anything to double-check the present list shows.
        const live = createTemporaryObject(servicePage, testCase, { serviceID: liveID });
        compare(live.tab, "review"); // the live register was seeded from the same results
        compare(Rules.initialTab(0, ""), "present");
        compare(Rules.initialTab(2, "absent"), "absent");
        compare(Rules.initialTab(2, "bogus"), "bogus");
    }

    function test_the_operator_corrects_the_register_on_the_page() {
        const page = createTemporaryObject(servicePage, testCase, { serviceID: sundayID });
        compare(page.tab, "review");
        waitForRendering(page);
        const confirm = findNamed(page, "confirmButton");
        verify(confirm && confirm.visible);
        mouseClick(confirm);
        // The review tab empties and the page goes back to the present list.
        tryCompare(page, "tab", "present");
        compare(page.review.length, 0);
        const ada = page.present.find(m => m.memberID === "M0001");
        compare(ada.reviewReason, "confirmed by operator");
        compare(ada.decision, "confirmed");
        verify(page.correctionHint(ada).indexOf("Confirmed by operator \u00b7 ") === 0);

        // A visitor named as the absent member: present with the visitor's evidence, no estimate.
        testModel.nameVisitor(sundayID, page.visitors[0].id, "M0003", false);
        compare(page.visitors.length, 0);
        compare(page.absent.length, 0);
        const alan = page.present.find(m => m.memberID === "M0003");
        compare(alan.reviewReason, "marked present by operator");
        verify(alan.confidence === undefined || alan.confidence === null);
        compare(page.results.present, 3);

        for (const id of ["M0001", "M0003"])
            testModel.correct(sundayID, id, "restore");
        compare(page.review.length, 1);
        compare(page.visitors.length, 1);
        compare(page.absent.length, 1);
        verify(!page.results.corrected);
    }

    function test_deleted_service_leaves_the_placeholder() {
        const missing = createTemporaryObject(servicePage, testCase, { serviceID: "20200101-000000-dead" });
        verify(missing.service === null);
        verify(findNamed(missing, "deletedPlaceholder").visible);

        const id = testModel.createService("Short-lived", ["/tmp/nowhere/short.mp4"], "quick");
        verify(id !== "");
        const page = createTemporaryObject(servicePage, testCase, { serviceID: id });
        verify(page.service !== null);
        verify(!findNamed(page, "deletedPlaceholder").visible);
        // The run fails without face models; then it can be deleted.
        tryVerify(() => page.service.status === "failed", 5000);
        testModel.deleteService(id);
        verify(page.service === null);
        verify(findNamed(page, "deletedPlaceholder").visible);
    }

    function test_member_search_by_name_or_id_in_any_case() {
        const page = createTemporaryObject(membersPage, testCase);
        const grid = findNamed(page, "memberGrid");
        compare(grid.count, 3);
        page.query = "LOVE";
        compare(grid.count, 1);
        page.query = "hOPP";
        compare(grid.count, 1);
        page.query = "0003";
        compare(grid.count, 1);
        page.query = "m000";
        compare(grid.count, 3);
        page.query = "nobody";
        compare(grid.count, 0);
        page.query = "";
        compare(grid.count, 3);
        const filter = createTemporaryObject(memberFilter, testCase);
        verify(filter.matches("Zoë Ångström", "M0010", "ÅNGSTR"));
        verify(!filter.matches("Zoë Ångström", "M0010", "zoe"));
    }

    function test_members_header_and_issues() {
        const page = createTemporaryObject(membersPage, testCase);
        compare(findNamed(page, "recognisableFigure").text, "2/3");
        compare(page.issueCount, 2);
        compare(page.issues, []);
        const chip = findNamed(page, "issuesButton");
        mouseClick(chip);
        verify(page.showIssues);
        compare(page.issues, ["Alan Turing: no usable photos", "Grace Hopper: 1 good photo, add more"]);
        // The chip toggles the list: its press does not close it first to open it again.
        mouseClick(chip);
        verify(!page.showIssues);
        compare(Rules.photoStatus({ checked: true, ok: true, reason: "" }), ["checkmark.circle.fill", "Accepted"]);
        compare(Rules.photoStatus({ checked: true, ok: false, reason: "Face too small" }),
                ["xmark.circle.fill", "Face too small"]);
        compare(Rules.photoStatus({ checked: false, ok: false, reason: "" }), ["hourglass", "Checking"]);
    }

    function test_start_button_and_dropped_files() {
        const sheet = createTemporaryObject(newServiceSheet, testCase);
        sheet.open();
        tryVerify(() => sheet.opened);
        const start = findNamed(sheet.contentItem, "startButton");
        compare(sheet.label, "Sunday service");
        compare(start.text, "Start");
        verify(!findNamed(sheet.contentItem, "noMembersWarning").parent.visible);
        verify(!start.enabled, "no files yet");
        sheet.takeFiles(["file:///tmp/service.mov"]);
        verify(start.enabled);
        compare(findNamed(sheet.contentItem, "filesText").text, "service.mov");
        // Only text files dropped: the chosen files stay.
        sheet.takeFiles(["file:///tmp/notes.txt", "file:///tmp/list.csv"]);
        compare(sheet.files.length, 1);
        compare(sheet.files[0].toString(), "file:///tmp/service.mov");
        sheet.takeFiles(["file:///tmp/a.jpg", "file:///tmp/notes.txt", "file:///tmp/b.HEIC"]);
        compare(findNamed(sheet.contentItem, "filesText").text, "2 photos");
        sheet.label = " \t ";
        verify(!start.enabled, "blank label");
        sheet.label = "Evening";
        sheet.kind = "stream";
        compare(start.text, "Go live");
        sheet.streamURL = "rtsp://10.0.0.2/live";
        verify(!start.enabled, "rtsp");
        sheet.streamURL = "https://example.org/live.m3u8";
        verify(start.enabled, "https");
        sheet.streamURL = "file:///tmp/service.mp4";
        verify(start.enabled, "file URL");
        sheet.kind = "camera";
        sheet.cameraID = "";
        verify(!start.enabled, "no camera");
        sheet.cameraID = "/dev/video0";
        verify(start.enabled, "a camera");
        // A click on the dimmed window keeps the sheet and what was chosen; Escape closes it.
        mouseClick(testCase, 5, 5);
        verify(sheet.visible);
        compare(sheet.label, "Evening");
        keyClick(Qt.Key_Escape);
        tryVerify(() => !sheet.visible);
    }

    // The seeded registers, oldest first: "Midweek live" (6 March) and "Sunday service" (10
    // March), each with Ada present to double-check, Grace present and Alan absent.
    function test_follow_up_card_and_away_filter() {
        const followUp = testModel.attendance.followUp;
        compare(followUp.missed, 3);
        const home = createTemporaryObject(homePage, testCase);
        const card = findNamed(home, "followUpCard");
        verify(card.visible);
        tryCompare(followUp, "count", 0);
        compare(findNamed(home, "followUpEmpty").text, "Everyone has been seen in the last 3 services");
        // Alan has been away from both: listed once two services count.
        followUp.missed = 2;
        compare(findNamed(home, "missedChooser").value, 2);
        tryCompare(followUp, "count", 1);
        verify(!findNamed(home, "followUpEmpty").visible);
        compare(followUp.memberIDs, ["M0003"]);
        compare(Rules.awayText(2, ""), "Away 2 services \u00b7 not seen yet");
        compare(Rules.awayText(4, "3 Nov 2026"), "Away 4 services \u00b7 last seen 3 Nov 2026");
        followUp.missed = 1; // out of range: kept at the fewest
        compare(followUp.missed, 2);

        // The members page's "Away" shows the same members, and the search still applies.
        const page = createTemporaryObject(membersPage, testCase);
        const grid = findNamed(page, "memberGrid");
        compare(grid.count, 3);
        mouseClick(findNamed(page, "awayFilter"));
        verify(page.awayOnly);
        compare(grid.count, 1);
        page.query = "ada";
        compare(grid.count, 0);
        page.query = "";
        // A register that now shows Alan present ends his run.
        testModel.correct(sundayID, "M0003", "present");
        tryCompare(followUp, "count", 0);
        compare(grid.count, 0);
        testModel.correct(sundayID, "M0003", "restore");
        tryCompare(followUp, "count", 1);
        compare(grid.count, 1);
        followUp.missed = 3;

        // The report is written as a register is: never over the library's own files.
        testModel.dismissNotice();
        verify(testModel.exportReport("file://" + testLibraryRoot + "/../report.csv", "Sunday service"));
        compare(testModel.notice, "");
        verify(!testModel.exportReport("file://" + testLibraryRoot + "/members.json"));
        verify(testModel.notice.indexOf("The report cannot be saved to ") === 0, testModel.notice);
        testModel.dismissNotice();
    }

    function test_member_attendance_strip_and_figures() {
        const grace = createTemporaryObject(memberPage, testCase, { memberID: "M0002" });
        compare(grace.history.registers.map(r => r.mark), ["present", "present"]);
        compare(grace.history.registers.map(r => r.serviceID), [liveID, sundayID]);
        compare(findNamed(grace, "attendedFigure").text, "Attended 2 of the last 2");
        verify(!findNamed(grace, "absenceRun").visible);
        compare(findNamed(grace, "lastSeen").text, "Last seen 10 Mar 2024");

        const alan = createTemporaryObject(memberPage, testCase, { memberID: "M0003" });
        compare(findNamed(alan, "absenceRun").text, "Away 2 services in a row");
        compare(findNamed(alan, "lastSeen").text, "Not seen yet");
        compare(findNamed(alan, "attendedFigure").text, "Attended 0 of the last 2");
        // Ada's lines are to be double-checked until the operator decides one.
        const ada = createTemporaryObject(memberPage, testCase, { memberID: "M0001" });
        compare(ada.history.registers.map(r => r.mark), ["review", "review"]);
        testModel.correct(sundayID, "M0001", "absent");
        compare(ada.history.registers.map(r => r.mark), ["review", "corrected"]);
        compare(findNamed(ada, "absenceRun").visible, false);
        compare(Rules.registerHint("Sunday service", "10 Mar 2024", "corrected", false),
                "Sunday service \u00b7 10 Mar 2024 \u00b7 Absent (corrected)");
        testModel.correct(sundayID, "M0001", "restore");
        compare(ada.history.registers[1].mark, "review");

        // A mark opens its service (the other pages, on top, are put away first).
        alan.visible = false;
        ada.visible = false;
        const strip = findNamed(grace, "attendanceStrip");
        waitForRendering(grace);
        const opened = signalSpy.createObject(grace, { target: grace, signalName: "openService" });
        const marks = [];
        for (let i = 0; i < strip.children.length; ++i)
            if (strip.children[i].mark !== undefined)
                marks.push(strip.children[i]);
        compare(marks.length, 2);
        mouseClick(marks[1]);
        compare(opened.count, 1);
        compare(opened.signalArguments[0][0], sundayID);
    }
}
