// The real program, started as a user would with "--take-attendance" on the shared recording, in
// a library with everyone in the shared people folder enrolled, without a screen: it must process
// the recording into the register stored in service.json while it holds the library.

#include "AppTestSupport.h"
#include "library/Library.h"
#include "library/LibraryLock.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest/QtTest>

using namespace tallymere;
using namespace tallymere::apptest;
namespace fs = std::filesystem;

class EndToEndTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void takeAttendanceFromTheCommandLine();
};

void EndToEndTest::takeAttendanceFromTheCommandLine() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    const fs::path root = dir / "library";
    const auto idOf = seedEnrolledLibrary(root);

    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("TALLYMERE_LIBRARY", QString::fromStdString(root.string()));
    environment.insert("ATTENDANCE_MODELS", QString::fromStdString(convertedModels().string()));
    environment.insert("TALLYMERE_BACKGROUND", "1");
    app.setProcessEnvironment(environment);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(TALLYMERE_APP_PATH,
              {"--take-attendance", QString::fromStdString(stageClip().string())});
    QVERIFY(app.waitForStarted());

    // Waits for the one service to be stored as finished, watching the program too.
    std::optional<Service> finished;
    bool heldByTheApplication = false;
    QElapsedTimer clock;
    clock.start();
    while (!finished && clock.elapsed() < 180'000 && app.state() == QProcess::Running) {
        QTest::qWait(250);
        const auto holder = LibraryLock::recordedHolder(root);
        if (holder && holder->program == LibraryLock::applicationName &&
            holder->pid == static_cast<long>(app.processId()))
            heldByTheApplication = true;
        for (const Service& s : Library(root).loadServices())
            if (s.status == ServiceStatus::done && s.message == "Finished") finished = s;
    }
    const QString output = QString::fromUtf8(app.readAll());
    const bool stillRunning = app.state() == QProcess::Running;
    app.kill();
    app.waitForFinished(10'000);
    QVERIFY2(stillRunning, qPrintable("the program ended early:\n" + output));
    QVERIFY2(finished, qPrintable("no finished service within the time:\n" + output));
    QVERIFY(heldByTheApplication);

    QCOMPARE(finished->label, std::string("stage_clip"));
    QCOMPARE(finished->sourcePaths,
             std::vector<std::string>{fs::absolute(stageClip()).lexically_normal().string()});
    QCOMPARE(finished->mode, ProcessSettings::Mode::standard);
    QCOMPARE(finished->progress, 1.0);
    QVERIFY(finished->results);
    const auto& results = finished->results->members;
    QCOMPARE(results.size(), idOf.size());
    for (const MemberResult& r : results) {
        const bool miranda = r.memberID == idOf.at("Lin-Manuel Miranda");
        if (miranda) {
            QVERIFY(r.present);
            QVERIFY(r.evidenceFile);
            QVERIFY(fs::exists(root / "services" / finished->id / *r.evidenceFile));
        } else if (r.memberID != idOf.at("Barack Obama")) {
            // Obama is in the audience row in three-quarter view; everyone else is not there.
            QVERIFY2(!r.present, r.memberID.c_str());
        }
    }
}

TALLYMERE_APP_TEST(EndToEndTest);

#include "EndToEndTest.moc"
