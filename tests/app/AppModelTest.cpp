// The application model on a temporary library: start-up repair, the engine wait, the queue,
// cancelling, progress, member operations and the re-check merge. Runs use the shared test models
// and recording, so the engine really loads and the processor really runs.

#include "AppModel.h"

#include "AppTestSupport.h"
#include "ImageCache.h"
#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "runs/ServiceProcessor.h"
#include "support/TestSupport.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest/QtTest>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <memory>
#include <sys/resource.h>

using namespace tallymere;
using namespace tallymere::apptest;
namespace fs = std::filesystem;

namespace {

constexpr int runTimeout = 120'000;
constexpr int engineTimeout = 60'000;

std::unique_ptr<AppModel> openModel(const fs::path& root, QStringList arguments = {},
                                    std::optional<fs::path> models = {}) {
    AppModel::Options options;
    options.root = root;
    options.arguments = std::move(arguments);
    options.modelsDirectory = std::move(models);
    return std::make_unique<AppModel>(std::move(options));
}

// What one row of the service list looked like each time it changed.
struct Snapshot {
    QString status;
    QString message;
    double progress = 0;
    bool hasResults = false;
};

class ServiceHistory {
public:
    ServiceHistory(AppModel& model, const QString& id) {
        QObject::connect(model.serviceList(), &QAbstractItemModel::dataChanged, &context,
                         [&model, id, this](const QModelIndex& from, const QModelIndex&) {
                             const Service* s = model.findService(id.toStdString());
                             if (!s || model.serviceList()->idAt(from.row()) != id) return;
                             snapshots.push_back({QString::fromUtf8(s->status.rawValue()),
                                                  QString::fromStdString(s->message), s->progress,
                                                  s->results.has_value()});
                         });
    }
    int count(const QString& message) const {
        return static_cast<int>(
            std::count_if(snapshots.begin(), snapshots.end(),
                          [&](const Snapshot& s) { return s.message == message; }));
    }
    std::vector<Snapshot> snapshots;

private:
    QObject context;
};

std::vector<std::string> stills() {
    return {sharedPhoto("groups/two_people.jpg").string(),
            sharedPhoto("groups/obama_and_biden.jpg").string()};
}

} // namespace

class AppModelTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUpRepairsInterruptedServicesAndRunsNothingAgain();
    void servicesWaitForTheEngineAndFailWithItsErrorWhenItCannotLoad();
    void takeAttendanceRunsTheRecordingWithProgressBelowFinished();
    void failuresReachTheNoticeAndTheListsShowWhatIsStored();
    void cancellingInTheQueueAndInARun();
    void theSameServiceEnqueuedTwiceRunsTwiceKeepingItsOldResults();
    void memberNamesAreTrimmedAndChangesSaved();
    void aDamagedMemberListIsShownAndNeverSavedOver();
    void photosAddedDuringARecheckAreKeptAndRemovedOnesStayRemoved();
    void derivedValues();
};

void AppModelTest::startUpRepairsInterruptedServicesAndRunsNothingAgain() {
    TempFolder dir;
    {
        Library library(dir / "library");
        storedService(library, "20260301-100000-aaaa", ServiceStatus::queued, {"/nowhere.mp4"});
        storedService(library, "20260301-110000-bbbb", ServiceStatus::processing, {"/nowhere.mp4"});
        storedService(library, "20260301-120000-cccc", ServiceStatus::done, {"/nowhere.mp4"});
    }
    auto model = openModel(dir / "library", {}, dir / "no-models");
    QCOMPARE(model->libraryAccess(), AppModel::LibraryAccess::writable);

    for (const char* id : {"20260301-100000-aaaa", "20260301-110000-bbbb"}) {
        const Service* s = model->findService(id);
        QVERIFY(s);
        QCOMPARE(s->status, ServiceStatus::failed);
        QCOMPARE(s->message, std::string(AppModel::interruptedMessage));
    }
    QCOMPARE(model->findService("20260301-120000-cccc")->status, ServiceStatus::done);
    QCOMPARE(model->findService("20260301-120000-cccc")->message, std::string("as left"));

    // Saved, and not queued again: once the engine has settled nothing runs.
    QTRY_VERIFY_WITH_TIMEOUT(!model->engineErrorText().isEmpty(), 10'000);
    QTest::qWait(300);
    QVERIFY(!model->activeServiceID());
    for (const Service& s : Library(dir / "library").loadServices())
        if (s.id != "20260301-120000-cccc") {
            QCOMPARE(s.status, ServiceStatus::failed);
            QCOMPARE(s.message, std::string(AppModel::interruptedMessage));
        }
}

void AppModelTest::servicesWaitForTheEngineAndFailWithItsErrorWhenItCannotLoad() {
    TempFolder dir;
    const fs::path missing = dir / "no-models";
    Library(dir / "library").saveMembers({});
    auto model =
        openModel(dir / "library", {"--take-attendance", "/films/Sunday Morning.mp4"}, missing);
    // The command line's service is first in the list and is waiting for the engine.
    QCOMPARE(model->serviceRecords().size(), std::size_t(1));
    const Service first = model->serviceRecords().front();
    QCOMPARE(first.label, std::string("Sunday Morning"));
    QCOMPARE(first.sourcePaths, std::vector<std::string>{"/films/Sunday Morning.mp4"});
    QCOMPARE(first.mode, ProcessSettings::Mode::standard);
    QCOMPARE(first.status, ServiceStatus::processing);
    QCOMPARE(first.message, std::string("Preparing face models"));
    QCOMPARE(model->activeServiceIDText(), QString::fromStdString(first.id));

    const QString second = model->createService("Evening", {"/films/evening.mp4"}, "quick");
    QCOMPARE(model->findService(second.toStdString())->status, ServiceStatus::queued);
    QCOMPARE(model->findService(second.toStdString())->message, std::string("Waiting to start"));
    QCOMPARE(model->serviceList()->idAt(0), second); // newest at the front

    // A member being checked waits too, and keeps its photos when there is no engine.
    const QString member = model->addMember("Anne");
    model->addPhotos(std::vector<fs::path>{sharedPhoto("sizes/obama_small.jpg")},
                     member.toStdString());
    const auto photosBefore = model->findMember(member.toStdString())->photos;
    QCOMPARE(model->checkingMemberIDs(), QStringList{member});

    QSignalSpy engineChanged(model.get(), &AppModel::engineChanged);
    QTRY_VERIFY_WITH_TIMEOUT(!model->activeServiceID() &&
                                 model->findService(second.toStdString())->status ==
                                     ServiceStatus::failed,
                             10'000);
    const std::string expected = "Face models not found in " + missing.string();
    QCOMPARE(model->engineErrorText(), QString::fromStdString(expected));
    QVERIFY(!model->engineReady());
    for (const Service& s : model->serviceRecords()) {
        QCOMPARE(s.status, ServiceStatus::failed);
        QCOMPARE(s.message, expected);
    }
    QTRY_VERIFY(model->checkingMemberIDs().isEmpty());
    QCOMPARE(model->findMember(member.toStdString())->photos, photosBefore);
    // Stored as shown.
    for (const Service& s : Library(dir / "library").loadServices())
        QCOMPARE(s.message, expected);
}

void AppModelTest::takeAttendanceRunsTheRecordingWithProgressBelowFinished() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    const auto idOf = seedEnrolledLibrary(dir / "library");
    auto model = openModel(dir / "library",
                           {"--take-attendance", QString::fromStdString(stageClip().string())},
                           convertedModels());
    QAbstractItemModelTester servicesTester(model->serviceList());
    QAbstractItemModelTester membersTester(model->memberList());
    QSignalSpy resets(model->serviceList(), &QAbstractItemModel::modelReset);
    QSignalSpy ready(model.get(), &AppModel::attendanceReady);

    const QString id = model->serviceList()->idAt(0);
    QVERIFY(!model->engineReady());
    QCOMPARE(model->findService(id.toStdString())->message, std::string("Preparing face models"));
    ServiceHistory history(*model, id);

    QTRY_VERIFY_WITH_TIMEOUT(model->findService(id.toStdString())->status == ServiceStatus::done,
                             runTimeout);
    const Service done = *model->findService(id.toStdString());
    QCOMPARE(done.label, std::string("stage_clip"));
    QCOMPARE(done.message, std::string("Finished"));
    QCOMPARE(done.progress, 1.0);
    QVERIFY(done.results);

    // Progress reports came, each below 0.99 until the end, and only the one row changed.
    int reports = 0;
    for (const Snapshot& s : history.snapshots) {
        if (s.status == "done") continue;
        QVERIFY2(s.progress <= 0.99, qPrintable(QString::number(s.progress)));
        if (s.progress > 0) ++reports;
    }
    QVERIFY(reports >= 1);
    QCOMPARE(resets.count(), 0);
    QCOMPARE(ready.count(), 1);
    QCOMPARE(ready.front().at(1).toString(), QString("stage_clip"));

    // The register: Miranda on stage is present, the other members are absent.
    const std::string miranda = idOf.at("Lin-Manuel Miranda");
    const auto& results = done.results->members;
    const auto it = std::find_if(results.begin(), results.end(),
                                 [&](const MemberResult& r) { return r.memberID == miranda; });
    QVERIFY(it != results.end());
    QVERIFY(it->present);
    QVERIFY(std::none_of(results.begin(), results.end(), [&](const MemberResult& r) {
        return r.present && r.memberID == idOf.at("Kit Harington");
    }));
    // And it is stored so.
    const auto stored = Library(dir / "library").loadServices();
    QCOMPARE(stored.front().status, ServiceStatus::done);
    QCOMPARE(stored.front().results, done.results);
}

void AppModelTest::failuresReachTheNoticeAndTheListsShowWhatIsStored() {
    TempFolder dir;
    auto model = openModel(dir / "library", {}, dir / "no-models");
    const QString anne = model->addMember("Anne");
    QTRY_VERIFY_WITH_TIMEOUT(!model->engineErrorText().isEmpty(), engineTimeout);
    // Face models that cannot load say so in the window.
    QCOMPARE(model->notice(), model->engineErrorText());
    model->dismissNotice();

    const fs::path photo = dir / "photo.jpg";
    std::ofstream(photo) << std::string(4096, 'x');
    {
        // Files may grow to 64 bytes only: every save and copy fails part-way.
        tallymere::testing::FileSizeLimit limit(64);
        model->rename(anne, "Anne Jones");
        // One sentence naming the file and the cause, not a wrapper around another.
        const QString tooLarge = ": the file would be larger than this system allows.";
        QCOMPARE(model->notice(),
                 QString::fromStdString("Couldn't write " +
                                        (dir / "library" / "members.json").string()) +
                     tooLarge);
        QCOMPARE(model->findMember(anne.toStdString())->name, std::string("Anne"));
        model->dismissNotice();

        model->addPhotos(std::vector<fs::path>{photo}, anne.toStdString());
        QCOMPARE(model->notice(),
                 QString::fromStdString("Couldn't copy " + photo.string()) + tooLarge);
        QVERIFY(model->findMember(anne.toStdString())->photos.empty());
        QVERIFY(model->checkingMembers().empty());
        model->dismissNotice();

        QCOMPARE(model->createService("Sunday", {QString::fromStdString(photo.string())}, "quick"),
                 QString());
        QVERIFY2(model->notice().startsWith(
                     QString::fromStdString("Couldn't write " + (dir / "library").string())) &&
                     model->notice().endsWith("/service.json" + tooLarge),
                 qPrintable(model->notice()));
        QCOMPARE(model->serviceList()->rowCount(), 0);
    }
    QCOMPARE(Library(dir / "library").loadMembers().front().name, std::string("Anne"));
    QVERIFY(Library(dir / "library").loadServices().empty());
}

void AppModelTest::cancellingInTheQueueAndInARun() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    seedEnrolledLibrary(dir / "library");
    auto model = openModel(dir / "library", {}, convertedModels());
    QStringList paths;
    for (const auto& p : stills())
        paths << QString::fromStdString(p);
    const QString running =
        model->createService("First", {QString::fromStdString(stageClip().string())}, "standard");
    const QString waiting = model->createService("Second", paths, "standard");
    const QString next = model->createService("Third", paths, "quick");
    QCOMPARE(model->activeServiceIDText(), running);

    // In the queue: cancelled at once, and left out of the queue.
    model->cancel(waiting);
    QCOMPARE(model->findService(waiting.toStdString())->status, ServiceStatus::cancelled);
    QCOMPARE(model->findService(waiting.toStdString())->message, std::string("Cancelled"));

    // In the run: only a request until the processor has stopped.
    model->cancel(running);
    QCOMPARE(model->findService(running.toStdString())->status, ServiceStatus::processing);
    QTRY_VERIFY_WITH_TIMEOUT(
        model->findService(running.toStdString())->status == ServiceStatus::cancelled, runTimeout);
    QCOMPARE(model->findService(running.toStdString())->message, std::string("Cancelled"));
    QVERIFY(!model->findService(running.toStdString())->results);

    // The next one in the queue starts and finishes; the cancelled one stays cancelled.
    QTRY_VERIFY_WITH_TIMEOUT(model->findService(next.toStdString())->status == ServiceStatus::done,
                             runTimeout);
    QCOMPARE(model->findService(waiting.toStdString())->status, ServiceStatus::cancelled);
    QVERIFY(!model->activeServiceID());
    for (const Service& s : Library(dir / "library").loadServices())
        QCOMPARE(s.status,
                 s.id == next.toStdString() ? ServiceStatus::done : ServiceStatus::cancelled);

    // Deleting a service removes it and its folder.
    model->deleteService(next);
    QVERIFY(!model->findService(next.toStdString()));
    QVERIFY(!fs::exists(model->library().serviceDir(next.toStdString())));
}

void AppModelTest::theSameServiceEnqueuedTwiceRunsTwiceKeepingItsOldResults() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    seedEnrolledLibrary(dir / "library");
    auto model = openModel(dir / "library", {}, convertedModels());
    QStringList paths;
    for (const auto& p : stills())
        paths << QString::fromStdString(p);
    const QString id = model->createService("Photos", paths, "standard");
    QTRY_VERIFY_WITH_TIMEOUT(model->findService(id.toStdString())->status == ServiceStatus::done,
                             runTimeout);
    QVERIFY(model->findService(id.toStdString())->results);

    // "Process again", twice in a row.
    ServiceHistory history(*model, id);
    model->enqueue(id);
    model->enqueue(id);
    QTRY_VERIFY_WITH_TIMEOUT(history.count("Finished") == 2 && !model->activeServiceID(),
                             runTimeout);
    QCOMPARE(history.count("Preparing face models"), 2);
    // The old results stayed visible while it waited and ran.
    for (const Snapshot& s : history.snapshots)
        QVERIFY2(s.hasResults, qPrintable(s.status + " " + s.message));
    QCOMPARE(model->findService(id.toStdString())->status, ServiceStatus::done);
}

void AppModelTest::memberNamesAreTrimmedAndChangesSaved() {
    TempFolder dir;
    auto model = openModel(dir / "library", {}, dir / "no-models");
    QSignalSpy changed(model.get(), &AppModel::membersChanged);
    const QString anne = model->addMember(" \t Anne Smith\t  ");
    QCOMPARE(anne, QString("M0001"));
    QCOMPARE(model->findMember("M0001")->name, std::string("Anne Smith"));
    QVERIFY(fs::is_directory(dir / "library" / "members" / "M0001"));
    QVERIFY(changed.count() >= 1);

    // Line breaks are not trimmed.
    const QString bob = model->addMember("\nBob \t");
    QCOMPARE(model->findMember(bob.toStdString())->name, std::string("\nBob"));

    model->rename(anne, "  Anne Jones ");
    QCOMPARE(model->findMember("M0001")->name, std::string("Anne Jones"));
    auto stored = Library(dir / "library").loadMembers();
    QCOMPARE(stored.size(), std::size_t(2));
    QVERIFY(std::any_of(stored.begin(), stored.end(),
                        [](const Member& m) { return m.name == "Anne Jones"; }));

    model->deleteMember(bob);
    QVERIFY(!model->findMember(bob.toStdString()));
    QCOMPARE(Library(dir / "library").loadMembers().size(), std::size_t(1));
    QCOMPARE(model->memberList()->rowCount(), 1);
}

void AppModelTest::aDamagedMemberListIsShownAndNeverSavedOver() {
    TempFolder dir;
    fs::create_directories(dir / "library");
    const std::string damaged = "[{\"id\": \"M0001\", \"name\": 7}]";
    std::ofstream(dir / "library" / "members.json") << damaged;
    auto model = openModel(dir / "library", {}, dir / "no-models");
    QVERIFY(model->membersProblem().contains("members.json"));
    QCOMPARE(model->memberList()->rowCount(), 0);

    // The empty list on screen is not the library: a change must not replace the stored one.
    model->addMember("Anne Smith");
    std::ifstream in(dir / "library" / "members.json");
    const std::string stored((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    QCOMPARE(stored, damaged);
}

void AppModelTest::photosAddedDuringARecheckAreKeptAndRemovedOnesStayRemoved() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    auto model = openModel(dir / "library", {}, convertedModels());
    QTRY_VERIFY_WITH_TIMEOUT(model->engineReady(), 60'000);
    // One check at a time, so the first check's merge always comes while the late photo is
    // unchecked, however the machine schedules the two.
    model->pool().setMaxThreadCount(1);
    const std::string id = model->addMember("Everyone").toStdString();

    // Every row change of the member after the late photo came must still hold it.
    std::optional<std::string> latePhoto;
    bool keptAcrossAMerge = false;
    QString violation;
    QObject context;
    connect(model->memberList(), &QAbstractItemModel::dataChanged, &context, [&] {
        const Member* m = model->findMember(id);
        if (!latePhoto || !m) return;
        const auto late = std::find_if(m->photos.begin(), m->photos.end(),
                                       [&](const Photo& p) { return p.id == *latePhoto; });
        if (late == m->photos.end()) {
            violation = "the photo added during the check was lost";
            return;
        }
        // A merge of a check that did not see the late photo: others checked, it not yet.
        if (!late->checked && std::any_of(m->photos.begin(), m->photos.end(),
                                          [](const Photo& p) { return p.checked; }))
            keptAcrossAMerge = true;
    });

    std::vector<fs::path> many;
    for (const auto& folder : fs::directory_iterator(sharedPhoto("people")))
        for (const auto& file : fs::directory_iterator(folder.path()))
            many.push_back(file.path());
    std::sort(many.begin(), many.end());
    model->addPhotos(many, id);
    QVERIFY(model->checkingMembers().count(id));
    // Let the check take its copy, then add one more photo while it runs.
    QTRY_VERIFY_WITH_TIMEOUT(model->pool().activeThreadCount() > 0, 10'000);
    model->addPhotos(std::vector<fs::path>{sharedPhoto("sizes/obama-480p.jpg")}, id);
    latePhoto = model->findMember(id)->photos.back().id;
    // A photo removed while the check runs stays removed when the check's result comes back.
    const std::string removed = model->findMember(id)->photos.front().id;
    model->deletePhoto(QString::fromStdString(removed), QString::fromStdString(id));

    QTRY_VERIFY_WITH_TIMEOUT(model->checkingMemberIDs().isEmpty(), runTimeout);
    QVERIFY2(violation.isEmpty(), qPrintable(violation));
    QVERIFY(keptAcrossAMerge);
    const Member* member = model->findMember(id);
    QCOMPARE(member->photos.size(), many.size());
    QVERIFY(std::none_of(member->photos.begin(), member->photos.end(),
                         [&](const Photo& p) { return p.id == removed; }));
    QVERIFY(std::all_of(member->photos.begin(), member->photos.end(),
                        [](const Photo& p) { return p.checked; }));
    // Saved so (the stored form keeps whole seconds of the dates only).
    const auto stored = Library(dir / "library").loadMembers().front().photos;
    QCOMPARE(stored.size(), member->photos.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        QCOMPARE(stored[i].id, member->photos[i].id);
        QCOMPARE(stored[i].ok, member->photos[i].ok);
        QCOMPARE(stored[i].reason, member->photos[i].reason);
    }
    QVERIFY(fs::exists(model->library().thumbURL(id)));
}

void AppModelTest::derivedValues() {
    TempFolder dir;
    auto good = [](const std::string& photoID) {
        Photo p(photoID, {});
        p.checked = p.ok = true;
        return p;
    };
    {
        Library library(dir / "library");
        Member none{"M0001", "None", {}, {Photo("a.jpg", {})}};
        Member two{"M0002", "Two", {}, {good("a.jpg"), good("b.jpg")}};
        Member three{"M0003", "Three", {}, {good("a.jpg"), good("b.jpg"), good("c.jpg")}};
        library.saveMembers({none, two, three});
        Service s = storedService(library, "20260301-100000-aaaa", ServiceStatus::done);
    }
    auto model = openModel(dir / "library", {}, dir / "no-models");
    QCOMPARE(model->recognisableCount(), 2);
    QCOMPARE(model->needsAttentionIDs(), (QStringList{"M0001", "M0002"}));
    QCOMPARE(model->member("M0003").value("name").toString(), QString("Three"));
    QVERIFY(model->member("M0009").isEmpty());
    QVERIFY(!model->findService("nope"));
    QVERIFY(model->evidenceURL("20260301-100000-aaaa", "").isEmpty());
    QCOMPARE(model->evidenceURL("20260301-100000-aaaa", "evidence/M0002.jpg").toLocalFile(),
             QString::fromStdString(
                 (dir / "library" / "services" / "20260301-100000-aaaa" / "evidence" / "M0002.jpg")
                     .string()));
    QCOMPARE(model->service("20260301-100000-aaaa").value("status").toString(), QString("done"));
}

TALLYMERE_APP_TEST(AppModelTest);

#include "AppModelTest.moc"
