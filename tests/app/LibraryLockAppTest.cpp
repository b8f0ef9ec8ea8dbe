// One library, two programs: the application waits for a tool command that writes, repairs only
// once the library is its own, leaves a library that another Tallymere holds alone, and the tool's
// writing commands refuse while the application holds it.

#include "AppModel.h"
#include "AppTestSupport.h"
#include "library/Library.h"
#include "library/LibraryLock.h"

#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest/QtTest>
#include <memory>
#include <unistd.h>

using namespace tallymere;
using namespace tallymere::apptest;
namespace fs = std::filesystem;

namespace {

std::unique_ptr<AppModel> openModel(const fs::path& root, QStringList arguments = {}) {
    AppModel::Options options;
    options.root = root;
    options.arguments = std::move(arguments);
    options.modelsDirectory = root / "no-models"; // nothing here needs faces
    options.lockPollMilliseconds = 50;
    return std::make_unique<AppModel>(std::move(options));
}

// The tool, as a user runs it, on the library; its output and exit status.
std::pair<int, QString> runTool(const fs::path& root, const QStringList& arguments) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(TALLYMERE_CLI_PATH,
               QStringList{"--library", QString::fromStdString(root.string())} + arguments);
    if (!tool.waitForFinished(30'000)) return {-1, "did not finish"};
    return {tool.exitCode(), QString::fromUtf8(tool.readAll())};
}

} // namespace

class LibraryLockAppTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void waitsForAToolThatWritesAndRepairsOnlyOnceTheLibraryIsItsOwn();
    void aSecondApplicationOnTheSameLibraryWritesNothing();
    void toolCommandsThatWriteRefuseWhileTheApplicationHoldsTheLibrary();
};

void LibraryLockAppTest::waitsForAToolThatWritesAndRepairsOnlyOnceTheLibraryIsItsOwn() {
    TempFolder dir;
    const fs::path root = dir / "library";
    Library library(root);
    // The tool is processing this service right now.
    storedService(library, "20260301-100000-aaaa", ServiceStatus::processing, {"/a.mp4"});
    // And this one was left queued when the application last closed.
    storedService(library, "20260201-100000-cccc", ServiceStatus::queued, {"/old.mp4"});
    auto tool =
        LibraryLock::tryAcquire(root, LibraryLock::Range::library, LibraryLock::Kind::shared);
    QVERIFY(tool);

    auto model = openModel(root, {"--take-attendance", "/films/b.mp4", "--live-stream",
                                  "file:///films/live.mp4"});
    QSignalSpy accessChanged(model.get(), &AppModel::libraryAccessChanged);
    QCOMPARE(model->libraryAccess(), AppModel::LibraryAccess::waiting);
    QCOMPARE(model->libraryStatus(), QString::fromUtf8(AppModel::waitingForToolMessage));
    QVERIFY(!model->writable());
    // It shows the library, but neither repairs it nor acts on the command line meanwhile.
    QCOMPARE(model->serviceRecords().size(), std::size_t(2));
    QCOMPARE(model->findService("20260301-100000-aaaa")->status, ServiceStatus::processing);
    QCOMPARE(model->findService("20260201-100000-cccc")->status, ServiceStatus::queued);
    QVERIFY(model->addMember("Anne").isEmpty());
    QVERIFY(model->createService("Evening", {"/c.mp4"}, "standard").isEmpty());
    QTest::qWait(300); // several looks at the lock, with the event loop running
    for (const Service& s : Library(root).loadServices())
        QVERIFY(s.status == ServiceStatus::processing || s.status == ServiceStatus::queued);
    QVERIFY(Library(root).loadMembers().empty());
    QVERIFY(!model->live());
    QVERIFY(!model->engineReady() && model->engineErrorText().isEmpty()); // not started yet

    // Meanwhile the tool finishes its run and lets go.
    Service finished;
    for (const Service& s : Library(root).loadServices())
        if (s.id == "20260301-100000-aaaa") finished = s;
    finished.status = ServiceStatus::done;
    finished.message = "Finished";
    library.save(finished);
    tool.reset();

    QTRY_COMPARE(model->libraryAccess(), AppModel::LibraryAccess::writable);
    QCOMPARE(model->libraryStatus(), QString());
    // What the tool wrote meanwhile is read again, not overwritten as interrupted.
    QCOMPARE(model->findService("20260301-100000-aaaa")->status, ServiceStatus::done);
    QCOMPARE(model->findService("20260201-100000-cccc")->status, ServiceStatus::failed);
    QCOMPARE(model->findService("20260201-100000-cccc")->message,
             std::string(AppModel::interruptedMessage));
    // The command line is acted on now, and the engine starts.
    QCOMPARE(model->serviceRecords().size(), std::size_t(3));
    QCOMPARE(model->serviceRecords().front().label, std::string("b"));
    QVERIFY(model->live());
    QCOMPARE(model->live()->property("label").toString(), QString("Live stream"));
    QTRY_VERIFY(!model->engineErrorText().isEmpty());
    const auto holder = LibraryLock::recordedHolder(root);
    QVERIFY(holder);
    QCOMPARE(holder->program, std::string(LibraryLock::applicationName));
    QCOMPARE(holder->pid, static_cast<long>(::getpid()));
    QVERIFY(!model->addMember("Anne").isEmpty());
}

void LibraryLockAppTest::aSecondApplicationOnTheSameLibraryWritesNothing() {
    TempFolder dir;
    const fs::path root = dir / "library";
    auto first = openModel(root);
    QCOMPARE(first->libraryAccess(), AppModel::LibraryAccess::writable);
    const QString anne = first->addMember("Anne");
    // A run of the first one is live in this library (as its record stands on disk).
    const QString running = "20260301-100000-aaaa";
    storedService(Library(root), running.toStdString(), ServiceStatus::processing, {"/a.mp4"});

    auto second = openModel(root, {"--take-attendance", "/films/b.mp4"});
    QCOMPARE(second->libraryAccess(), AppModel::LibraryAccess::readOnly);
    const QString pid = QString::number(::getpid());
    QVERIFY2(second->libraryStatus().contains("open in Tallymere (process " + pid + ")"),
             qPrintable(second->libraryStatus()));
    // It shows the library as it is: no repair of the live run, no service from its command line,
    // no changes.
    QCOMPARE(second->findService(running.toStdString())->status, ServiceStatus::processing);
    QCOMPARE(second->serviceRecords().size(), std::size_t(1));
    QVERIFY(second->addMember("Bob").isEmpty());
    second->rename(anne, "Someone else");
    second->deleteService(running);
    QTest::qWait(200);
    QCOMPARE(Library(root).loadMembers().front().name, std::string("Anne"));
    QCOMPARE(Library(root).loadServices().size(), std::size_t(1));
    QCOMPARE(Library(root).loadServices().front().status, ServiceStatus::processing);
    QVERIFY(!second->engineReady() && second->engineErrorText().isEmpty());
    // Its face models wait too, and the window says so instead of seeming to load them.
    QQmlEngine qml;
    qml.addImportPath("qrc:/qt/qml");
    QQmlComponent component(&qml);
    component.setData("import Tallymere.Screens\nEngineStatus {}\n", QUrl());
    std::unique_ptr<QObject> status(
        component.createWithInitialProperties({{"appModel", QVariant::fromValue(second.get())}}));
    QVERIFY2(status, qPrintable(component.errorString()));
    QVERIFY(!status->property("loading").toBool());
    QCOMPARE(status->property("hint").toString(),
             QString("Face models load once this window can change the library"));

    // When the first one closes, the second takes the library over, repairing what the first
    // left unfinished.
    first.reset();
    QTRY_COMPARE(second->libraryAccess(), AppModel::LibraryAccess::writable);
    QVERIFY(status->property("loading").toBool() || second->engineReady() ||
            !second->engineErrorText().isEmpty());
    const Service* repaired = second->findService(running.toStdString());
    QVERIFY(repaired);
    QVERIFY(repaired->status == ServiceStatus::failed);
    QCOMPARE(repaired->message, std::string(AppModel::interruptedMessage));
}

void LibraryLockAppTest::toolCommandsThatWriteRefuseWhileTheApplicationHoldsTheLibrary() {
    TempFolder dir;
    const fs::path root = dir / "library";
    auto model = openModel(root);
    model->addMember("Anne");

    const auto [status, output] = runTool(root, {"add-member", "Bob"});
    QVERIFY2(status != 0, qPrintable(output));
    QVERIFY2(output.contains("The library is open in Tallymere (process " +
                             QString::number(::getpid()) + ")"),
             qPrintable(output));
    QCOMPARE(Library(root).loadMembers().size(), std::size_t(1));
    // Reading commands keep working.
    const auto [listed, members] = runTool(root, {"members"});
    QCOMPARE(listed, 0);
    QVERIFY2(members.contains("Anne"), qPrintable(members));

    // Once the application has closed, the tool writes again.
    model.reset();
    const auto [added, text] = runTool(root, {"add-member", "Bob"});
    QVERIFY2(added == 0, qPrintable(text));
    QCOMPARE(Library(root).loadMembers().size(), std::size_t(2));
}

TALLYMERE_APP_TEST(LibraryLockAppTest);

#include "LibraryLockAppTest.moc"
