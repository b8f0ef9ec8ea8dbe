#include "AppTestSupport.h"

#include "engine/FaceEngine.h"
#include "recognition/Enroller.h"
#include "support/ModelCache.h"

#include <QApplication>
#include <QtQml/qqmlextensionplugin.h>
#include <QtTest/QtTest>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

// The window's QML module is linked in statically.
Q_IMPORT_QML_PLUGIN(TallymerePlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ScreensPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ComponentsPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_WindowPlugin)

namespace tallymere::apptest {

namespace fs = std::filesystem;

namespace {

std::vector<std::pair<std::string, TestFactory>>& registry() {
    static std::vector<std::pair<std::string, TestFactory>> tests;
    return tests;
}

} // namespace

bool registerTest(const char* name, TestFactory factory) {
    registry().emplace_back(name, std::move(factory));
    return true;
}

bool haveShared() {
    return fs::exists(tallymere::testing::sharedModels() / "fr_feature.onnx") &&
           fs::exists(tallymere::testing::sharedFaces() / "people") && fs::exists(stageClip());
}

QString missingSharedMessage() {
    return QString("shared test models and faces not found at %1 (set TALLYMERE_SHARED to the "
                   "folder holding models/ and faces/)")
        .arg(QString::fromStdString(tallymere::testing::sharedDir().string()));
}

fs::path convertedModels() {
    static const fs::path dir =
        tallymere::testing::convertedSharedModels("scrfd_2.5g_kps.onnx", "640,1280");
    return dir;
}

fs::path stageClip() {
    return tallymere::testing::sharedFaces() / "video" / "stage_clip.mp4";
}

fs::path sharedPhoto(const std::string& relative) {
    return tallymere::testing::sharedFaces() / relative;
}

TempFolder::TempFolder() {
    std::random_device rd;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        path_ = base / ("tallymere-apptest-" + std::to_string(rd()));
        if (fs::create_directory(path_)) break;
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::map<std::string, std::string> seedEnrolledLibrary(const fs::path& root) {
    // Enrolled once per process into a library of its own, then copied for each test.
    static TempFolder seeded;
    static std::map<std::string, std::string> idOf;
    static const bool made = [] {
        Library library(seeded / "library");
        FaceEngine engine(convertedModels());
        std::vector<fs::path> people;
        for (const auto& entry :
             fs::directory_iterator(tallymere::testing::sharedFaces() / "people"))
            people.push_back(entry.path());
        std::sort(people.begin(), people.end());
        std::vector<Member> members;
        for (const fs::path& folder : people) {
            std::vector<fs::path> photos;
            for (const auto& file : fs::directory_iterator(folder))
                photos.push_back(file.path());
            std::sort(photos.begin(), photos.end());
            Member member;
            member.id = library.nextMemberID(members);
            member.name = folder.filename().string();
            member.created = std::chrono::system_clock::now();
            member.photos = library.importPhotos(photos, member.id);
            member = Enroller(engine, library).check(std::move(member));
            idOf[member.name] = member.id;
            members.push_back(std::move(member));
        }
        library.saveMembers(members);
        return true;
    }();
    (void)made;
    fs::create_directories(root);
    fs::copy(seeded / "library", root,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return idOf;
}

Service storedService(const Library& library, const std::string& id, ServiceStatus status,
                      std::vector<std::string> sources) {
    const Date now = std::chrono::system_clock::now();
    Service service(id, "Service " + id, now, now, std::move(sources),
                    ProcessSettings::Mode::standard);
    service.status = status;
    service.message = "as left";
    library.save(service);
    return service;
}

} // namespace tallymere::apptest

// Runs the test class named first on the command line (the rest goes to Qt Test), or every class.
int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("QT_QUICK_CONTROLS_STYLE"))
        qputenv("QT_QUICK_CONTROLS_STYLE", "Basic");
    // The window's services page draws its chart through a QApplication, as the program does.
    QApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    QString only;
    if (arguments.size() > 1 && !arguments[1].startsWith('-')) only = arguments.takeAt(1);
    int status = 0;
    bool ran = false;
    for (const auto& [name, factory] : tallymere::apptest::registry()) {
        if (!only.isEmpty() && only != QString::fromStdString(name)) continue;
        ran = true;
        const std::unique_ptr<QObject> test = factory();
        status |= QTest::qExec(test.get(), arguments);
    }
    if (!ran) {
        std::fprintf(stderr, "No test class named %s\n", qPrintable(only));
        return 2;
    }
    return status;
}
