// bench_screens: the window over a large library (500 members, 300 finished services of 500
// results each), drawn offscreen. Prints how long the window takes to show, to switch to the
// members and services pages (the latter with the attendance chart), to scroll each grid from top
// to bottom a screen at a time (the slowest frame), to open one service's register and one
// member's page with the attendance strip, and how many grid delegates exist at once; and for
// attendance over time, how long every member's history and the follow-up list take once the
// services are loaded, and the time and peak memory of tallymere-cli writing the report of all
// services.
#include "AppModel.h"
#include "FileImageProvider.h"
#include "library/History.h"
#include "library/Library.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>

Q_IMPORT_QML_PLUGIN(TallymerePlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ScreensPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ComponentsPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_WindowPlugin)

using namespace tallymere;
namespace fs = std::filesystem;

namespace {

constexpr int memberCount = 500;
constexpr int serviceCount = 300;

void seed(const fs::path& root) {
    Library library(root);
    const Date now = std::chrono::system_clock::now();
    std::vector<Member> members;
    for (int i = 1; i <= memberCount; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "M%04d", i);
        Member m{id, "Member " + std::to_string(i), now, {}};
        for (int p = 0; p < 3; ++p) {
            Photo photo("p" + std::to_string(p) + ".jpg", now);
            photo.checked = true;
            photo.ok = p != 2;
            m.photos.push_back(photo);
        }
        const QString folder = QString::fromStdString((library.membersDir() / id).string());
        QDir().mkpath(folder);
        QImage face(600, 600, QImage::Format_RGB32);
        face.fill(QColor::fromHsv(i * 7 % 360, 120, 200));
        face.save(folder + "/face.jpg");
        members.push_back(std::move(m));
    }
    library.saveMembers(members);
    for (int s = 0; s < serviceCount; ++s) {
        char id[32];
        std::snprintf(id, sizeof id, "20240101-%06d-%04x", s, s);
        Service service(id, "Service " + std::to_string(s + 1), now - std::chrono::hours(24 * s),
                        now, {"/tmp/recording.mp4"}, ProcessSettings::Mode::standard);
        service.status = ServiceStatus::done;
        service.progress = 1;
        service.message = "Finished";
        ServiceResults results;
        for (int i = 0; i < memberCount; ++i) {
            MemberResult r;
            r.memberID = members[std::size_t(i)].id;
            r.present = i % 3 != 0;
            r.confidence = 0.7f;
            if (r.present) {
                r.firstSeen = 10.0 * i;
                r.lastSeen = 10.0 * i + 60;
                r.sightings = 4;
            }
            r.needsReview = i % 17 == 0 && r.present;
            if (r.needsReview) r.reviewReason = "Close to another member";
            results.members.push_back(r);
        }
        results.framesAnalysed = 3600;
        results.processingSeconds = 300;
        results.durationSeconds = 3600;
        service.results = results;
        library.save(service);
    }
}

// Draws one frame and returns how long it took, in milliseconds.
double frame(QQuickWindow* window) {
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QObject::connect(window, &QQuickWindow::frameSwapped, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    window->update();
    loop.exec();
    return double(timer.nsecsElapsed()) / 1e6;
}

// Lets background image decoding finish and the page settle.
void settle(QQuickWindow* window, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        frame(window);
}

QQuickItem* named(QQuickItem* item, const QString& name) {
    if (item->objectName() == name) return item;
    for (QQuickItem* child : item->childItems())
        if (QQuickItem* found = named(child, name)) return found;
    return nullptr;
}

QQuickItem* named(QQuickWindow* window, const char* name) {
    return named(window->contentItem(), QString::fromLatin1(name));
}

// Scrolls a grid from top to bottom a screenful at a time; the slowest frame in milliseconds.
double scroll(QQuickWindow* window, QQuickItem* grid, int* mostDelegates) {
    double slowest = 0;
    const double height = grid->height();
    for (;;) {
        const double contentHeight = grid->property("contentHeight").toDouble();
        const double y = grid->property("contentY").toDouble();
        if (y + height >= contentHeight - 1) break;
        grid->setProperty("contentY", std::min(y + height, contentHeight - height));
        slowest = std::max(slowest, frame(window));
        auto* content = grid->property("contentItem").value<QQuickItem*>();
        if (content) *mostDelegates = std::max(*mostDelegates, int(content->childItems().size()));
    }
    return slowest;
}

// Runs tallymere-cli's report of the whole library into a file; its wall time in milliseconds and
// its peak resident memory in KiB, or -1 when it failed.
std::pair<double, long> cliReport(const fs::path& root, const fs::path& file) {
    const std::string library = root.string(), output = file.string();
    std::vector<std::string> arguments{TALLYMERE_CLI_PATH, "--library", library,
                                       "report",           "-o",        output};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {-1, -1};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {-1, -1};
    return {double(timer.nsecsElapsed()) / 1e6, usage.ru_maxrss};
}

long peakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_QUICK_CONTROLS_STYLE", "Basic");
    QApplication app(argc, argv); // the services page's chart needs it

    QTemporaryDir dir;
    const fs::path root = fs::path(dir.path().toStdString()) / "library";
    QElapsedTimer timer;
    timer.start();
    seed(root);
    std::printf("library: %d members, %d services of %d results, seeded in %.1f s\n", memberCount,
                serviceCount, memberCount, double(timer.elapsed()) / 1000);

    AppModel::Options options;
    options.root = root;
    options.modelsDirectory = root / "no-models";
    timer.restart();
    AppModel model(std::move(options));
    std::printf("%-44s %8.0f ms\n", "model loaded", double(timer.elapsed()));

    // Attendance over time on the loaded lists, as the window computes it.
    timer.restart();
    const AttendanceHistory history(model.serviceRecords(), model.memberRecords());
    std::size_t away = history.followUp().size(), registers = 0;
    for (const Member& member : model.memberRecords())
        registers += history.member(member.id).recent(12).registers.size();
    std::printf("%-44s %8.1f ms (%zu to follow up, %zu strip marks)\n",
                "every member's history and the follow-up", double(timer.nsecsElapsed()) / 1e6,
                away, registers);
    timer.restart();
    const auto trend = attendanceTrend(model.serviceRecords());
    std::printf("%-44s %8.1f ms (%zu points)\n", "the trend of present members",
                double(timer.nsecsElapsed()) / 1e6, trend.size());
    const auto [reportMs, reportKiB] =
        cliReport(root, fs::path(dir.path().toStdString()) / "report.csv");
    std::printf("%-44s %8.0f ms, peak %ld MiB (%jd bytes)\n",
                "tallymere-cli report of every service", reportMs, reportKiB / 1024,
                std::intmax_t(fs::file_size(fs::path(dir.path().toStdString()) / "report.csv")));

    QQmlApplicationEngine engine;
    engine.addImportPath("qrc:/qt/qml");
    engine.addImageProvider(FileImageProvider::providerID, new FileImageProvider);
    engine.setInitialProperties({{"appModel", QVariant::fromValue(&model)}});
    timer.restart();
    engine.load(QUrl("qrc:/qt/qml/Tallymere/Window/Main.qml"));
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
    if (!window) return 1;
    frame(window);
    std::printf("%-44s %8.0f ms\n", "window shown (home)", double(timer.elapsed()));
    settle(window, 1000);

    auto* content = named(window, "contentView");
    if (!content) return 1;
    int delegates = 0;
    for (const char* section : {"services", "members"}) {
        timer.restart();
        content->setProperty("section", section);
        frame(window);
        std::printf("%-44s %8.0f ms\n",
                    (std::string(section) + " page shown" +
                     (std::string(section) == "services" ? " (with the trend chart)" : ""))
                        .c_str(),
                    double(timer.elapsed()));
        settle(window, 1500);
        QQuickItem* grid =
            named(window, std::string(section) == "members" ? "memberGrid" : "serviceGrid");
        if (!grid) continue;
        int most = 0;
        timer.restart();
        const double slowest = scroll(window, grid, &most);
        std::printf("%-44s %8.0f ms (slowest frame %.1f ms, at most %d delegates)\n",
                    (std::string(section) + " grid scrolled top to bottom").c_str(),
                    double(timer.elapsed()), slowest, most);
        delegates = std::max(delegates, most);
    }
    timer.restart();
    const QVariant route = QVariantMap{{"kind", "service"}, {"id", "20240101-000000-0000"}};
    QMetaObject::invokeMethod(content, "push", Q_ARG(QVariant, route));
    frame(window);
    std::printf("%-44s %8.0f ms\n", "service page with 500 results opened",
                double(timer.elapsed()));
    settle(window, 1500);
    timer.restart();
    QMetaObject::invokeMethod(content, "pop");
    const QVariant member = QVariantMap{{"kind", "member"}, {"id", "M0003"}};
    QMetaObject::invokeMethod(content, "push", Q_ARG(QVariant, member));
    frame(window);
    std::printf("%-44s %8.0f ms (%s)\n", "member page with the attendance strip shown",
                double(timer.elapsed()),
                named(window, "attendanceStrip") ? "strip shown" : "NO STRIP");
    settle(window, 500);
    std::printf("%-44s %8ld MiB\n", "peak resident memory", peakKiB() / 1024);
    return 0;
}
