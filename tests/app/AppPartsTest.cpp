// The parts the window's model is made of, each on its own: the processing queue over a stand-in
// host, the enrolment checks, and the hold on the library.

#include "AppTestSupport.h"
#include "AttendanceOverTime.h"
#include "EngineLoader.h"
#include "LibraryHold.h"
#include "MemberChecks.h"
#include "MemberListModel.h"
#include "ProcessingQueue.h"
#include "ServiceListModel.h"
#include "library/LibraryLock.h"
#include "library/OpenLibrary.h"

#include <QSignalSpy>
#include <QtTest/QtTest>
#include <chrono>

using namespace tallymere;
using namespace tallymere::apptest;
namespace fs = std::filesystem;

namespace {

// Services kept in memory; every state change is recorded as "<id> <status>".
class Host : public ProcessingQueue::Host {
public:
    explicit Host(const fs::path& root) : library(std::make_shared<OpenLibrary>(root)) {}

    bool writable() const override { return true; }
    const Service* findService(const std::string& id) const override {
        for (const Service& s : services)
            if (s.id == id) return &s;
        return nullptr;
    }
    std::vector<Member> runMembers() const override { return {}; }
    std::shared_ptr<OpenLibrary> openLibrary() const override { return library; }
    bool update(const std::string& id, const std::function<void(Service&)>& change) override {
        for (Service& s : services)
            if (s.id == id) {
                change(s);
                steps.push_back(id + " " + std::string(s.status.rawValue()));
                return true;
            }
        return false;
    }

    std::shared_ptr<OpenLibrary> library;
    std::vector<Service> services;
    std::vector<std::string> steps;
};

Service recording(const std::string& id) {
    const Date now = std::chrono::system_clock::now();
    return Service(id, "Sunday", now, now, {"/films/" + id + ".mp4"},
                   ProcessSettings::Mode::standard);
}

} // namespace

class AppPartsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theQueueRunsOneAtATimeInOrderAndCancelsWhatWaits();
    void aCheckEndsWithoutAResultWhenTheModelsFail();
    void theHoldTakesTheLibraryOnceAToolLetsGo();
    void followUpKeepsItsChoiceAndFollowsRegistersNotProgress();
};

void AppPartsTest::theQueueRunsOneAtATimeInOrderAndCancelsWhatWaits() {
    TempFolder dir;
    Host host(dir / "library");
    host.services = {recording("a"), recording("b"), recording("c")};
    QThreadPool pool;
    EngineLoader engine(dir / "no-models", pool);
    engine.start();
    ProcessingQueue queue(host, engine, pool);
    QSignalSpy active(&queue, &ProcessingQueue::activeChanged);
    queue.enqueue("a");
    queue.enqueue("b");
    queue.enqueue("c");
    QCOMPARE(queue.active(), std::optional<std::string>("a"));
    QCOMPARE(queue.waiting(), (std::vector<std::string>{"b", "c"}));
    queue.cancel("c");
    // Without face models each run fails with the engine's reason, and the next one starts.
    QTRY_VERIFY(!queue.active());
    QVERIFY(engine.error());
    QCOMPARE(host.steps,
             (std::vector<std::string>{"a queued", "a processing", "b queued", "c queued",
                                       "c cancelled", "a failed", "b processing", "b failed"}));
    QCOMPARE(host.findService("b")->message, *engine.error());
    QCOMPARE(active.count(), 4); // a, none, b, none
    pool.waitForDone();
}

void AppPartsTest::aCheckEndsWithoutAResultWhenTheModelsFail() {
    TempFolder dir;
    auto library = std::make_shared<OpenLibrary>(dir / "library");
    const Member anne = library->addMember("Anne");
    QThreadPool pool;
    EngineLoader engine(dir / "no-models", pool);
    engine.start();
    MemberChecks checks(engine, pool, library);
    QSignalSpy checked(&checks, &MemberChecks::checked);
    QSignalSpy changes(&checks, &MemberChecks::checkingChanged);
    const auto find = [&](const std::string& id) { return id == anne.id ? &anne : nullptr; };
    // Two checks of one member overlap: one change in, one change out.
    checks.start(anne.id, find);
    checks.start(anne.id, find);
    QVERIFY(checks.checking().count(anne.id));
    QTRY_VERIFY(checks.checking().empty());
    QCOMPARE(changes.count(), 2);
    QCOMPARE(checked.count(), 0);
    pool.waitForDone();
}

void AppPartsTest::theHoldTakesTheLibraryOnceAToolLetsGo() {
    TempFolder dir;
    const fs::path root = dir / "library";
    OpenLibrary library(root);
    auto tool =
        LibraryLock::tryAcquire(root, LibraryLock::Range::library, LibraryLock::Kind::shared);
    QVERIFY(tool);
    LibraryHold hold(root, 20);
    QSignalSpy taken(&hold, &LibraryHold::taken);
    hold.start();
    QCOMPARE(hold.access(), LibraryHold::Access::waiting);
    QCOMPARE(hold.status(), QString::fromUtf8(LibraryHold::waitingForToolMessage));
    QVERIFY(!hold.writable());
    tool.reset();
    QTRY_VERIFY(hold.writable());
    QCOMPARE(taken.count(), 1);
    QVERIFY(hold.waited());
    QVERIFY(hold.status().isEmpty());
}

void AppPartsTest::followUpKeepsItsChoiceAndFollowsRegistersNotProgress() {
    TempFolder dir;
    const QString settings = QString::fromStdString((dir / "settings.conf").string());
    ServiceListModel services;
    MemberListModel members(QString::fromStdString(dir.path().string()));
    members.reset({Member{"M0001", "Anne", {}, {}, {}}});
    // Anne is absent from two finished services; a third is still running.
    std::vector<Service> list;
    for (int i = 0; i < 3; ++i) {
        Service s("s" + std::to_string(i), "Sunday", Date(std::chrono::hours(24 * 7 * i)), {}, {},
                  ProcessSettings::Mode::standard);
        s.status = i < 2 ? ServiceStatus::done : ServiceStatus::processing;
        s.results = ServiceResults{};
        MemberResult anne;
        anne.memberID = "M0001";
        s.results->members = {anne};
        list.push_back(s);
    }
    services.reset(list);
    {
        AttendanceOverTime attendance(services, members, {}, settings);
        FollowUpModel& followUp = *attendance.followUp();
        QCOMPARE(followUp.missed(), 3);
        followUp.setMissed(2);
        QTRY_COMPARE(followUp.rowCount(), 1);
        QCOMPARE(attendance.trend()->count(), 2);
        QSignalSpy refreshed(attendance.trend(), &TrendModel::trendChanged);
        // Progress of the running service changes no register.
        Service running = list[2];
        running.progress = 0.5;
        services.replace(2, running);
        QTest::qWait(20);
        QCOMPARE(refreshed.count(), 0);
        // Its end adds one, on which Anne is present.
        running.status = ServiceStatus::done;
        running.results->members[0].present = true;
        services.replace(2, running);
        QTRY_COMPARE(followUp.rowCount(), 0);
        QCOMPARE(attendance.memberHistory("M0001")["attended"].toInt(), 1);
        QCOMPARE(refreshed.count(), 1);
        followUp.setMissed(20);
        QCOMPARE(followUp.missed(), mostMissedServices);
    }
    // The next start remembers the choice.
    AttendanceOverTime again(services, members, {}, settings);
    QCOMPARE(again.followUp()->missed(), mostMissedServices);
}

TALLYMERE_APP_TEST(AppPartsTest);
#include "AppPartsTest.moc"
