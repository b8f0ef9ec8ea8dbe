// Runs the Qt Quick Test cases of this folder (tst_*.qml) with the application's QML modules and
// one application model over a seeded temporary library, reachable in QML as `testModel`:
//   members  M0001 "Ada Lovelace" (3 good photos), M0002 "Grace Hopper" (1 good, 1 rejected),
//            M0003 "Alan Turing" (no photos);
//   services "Sunday service" (done, dated 10 March 2024, from a recording; Ada present and to be
//            double-checked, Grace present, Alan absent; one visitor), "Evening prayer" (failed,
//            from a recording), "Midweek live" (done, live, no source files).
#include "AppModel.h"
#include "FileImageProvider.h"
#include "library/Library.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLocale>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>
#include <chrono>
#include <cstdlib>
#include <memory>

Q_IMPORT_QML_PLUGIN(TallymerePlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ScreensPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ComponentsPlugin)

using namespace tallymere;

namespace {

Date march10() {
    // 10 March 2024, 10:30 local time.
    const QDateTime local(QDate(2024, 3, 10), QTime(10, 30));
    return Date(std::chrono::milliseconds(local.toMSecsSinceEpoch()));
}

Photo photo(const std::string& id, bool ok, const std::string& reason = {}) {
    Photo p(id, march10());
    p.checked = true;
    p.ok = ok;
    p.reason = reason;
    if (ok) {
        p.faceWidth = 180;
        p.quality = 0.9f;
        p.embedding = std::vector<float>(512, 0.0f);
        (*p.embedding)[0] = 1;
    }
    return p;
}

void writePicture(const QString& file, QColor colour) {
    QImage image(240, 240, QImage::Format_RGB32);
    image.fill(colour);
    image.save(file);
}

void seed(const Library& library) {
    Member ada{"M0001",
               "Ada Lovelace",
               march10(),
               {photo("p1.jpg", true), photo("p2.jpg", true), photo("p3.jpg", true)}};
    Member grace{"M0002",
                 "Grace Hopper",
                 march10(),
                 {photo("p1.jpg", true), photo("p2.jpg", false, "Face too small")}};
    Member alan{"M0003", "Alan Turing", march10(), {}};
    library.saveMembers({ada, grace, alan});
    for (const auto& member : {ada, grace}) {
        const QString folder = QString::fromStdString(library.membersDir() / member.id);
        QDir().mkpath(folder);
        writePicture(folder + "/face.jpg", QColor(200, 150, 120));
        for (const auto& p : member.photos)
            writePicture(folder + "/" + QString::fromStdString(p.id), QColor(120, 150, 200));
    }

    Service done("20240310-103000-a1b2", "Sunday service", march10(), march10(),
                 {"/tmp/recordings/sunday.mp4"}, ProcessSettings::Mode::standard);
    done.status = ServiceStatus::done;
    done.progress = 1;
    done.message = "Finished";
    ServiceResults results;
    results.members = {
        {"M0001", true, 0.873f, 65.0, 3600.0, 12, true, "Close to another member",
         "evidence/M0001.jpg"},
        {"M0002", true, 0.61f, 125.0, 900.0, 4, false, "", "evidence/M0002.jpg"},
        {"M0003", false, 0, std::nullopt, std::nullopt, 0, false, "", std::nullopt},
    };
    results.visitors = {{"V1", "visitors/V1.jpg", 42.0, 5}};
    results.framesAnalysed = 3725;
    results.durationSeconds = 3725;
    results.processingSeconds = 125;
    results.membersEnrolled = 2;
    results.model = "test";
    done.results = results;
    library.save(done);
    const QString folder = QString::fromStdString(library.serviceDir(done.id));
    QDir().mkpath(folder + "/evidence");
    QDir().mkpath(folder + "/visitors");
    writePicture(folder + "/evidence/M0001.jpg", QColor(90, 90, 90));
    writePicture(folder + "/evidence/M0002.jpg", QColor(90, 120, 90));
    writePicture(folder + "/visitors/V1.jpg", QColor(140, 90, 90));

    Service failed("20240303-180000-c3d4", "Evening prayer", march10() - std::chrono::hours(24 * 7),
                   march10(), {"/tmp/recordings/evening.mp4"}, ProcessSettings::Mode::quick);
    failed.status = ServiceStatus::failed;
    failed.message = "The recording could not be opened.";
    library.save(failed);

    Service live("20240306-190000-e5f6", "Midweek live", march10() - std::chrono::hours(24 * 4),
                 march10(), {}, ProcessSettings::Mode::standard);
    live.liveSource = "Camera";
    live.status = ServiceStatus::done;
    live.progress = 1;
    live.message = "Finished";
    ServiceResults liveResults = results;
    liveResults.visitors.clear();
    live.results = liveResults;
    library.save(live);
}

} // namespace

// Compares a page rendered by a test with its reference picture kept in the repository, the way
// QGIS's rendering checks do: pictures of the same size match when few pixels differ by more than
// a small amount in any channel (fonts and antialiasing vary a little between machines).
class RenderCheck : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The share of pixels differing by more than `channelTolerance` in a channel; -1 when the
    // reference is missing, 2 when the sizes differ or the rendered file is unreadable. With
    // TALLYMERE_UPDATE_REFERENCES set, the rendered picture becomes the reference first.
    Q_INVOKABLE double mismatch(const QString& rendered, const QString& reference,
                                int channelTolerance = 24) const {
        if (qEnvironmentVariableIsSet("TALLYMERE_UPDATE_REFERENCES")) {
            QDir().mkpath(QFileInfo(reference).absolutePath());
            QFile::remove(reference);
            QFile::copy(rendered, reference);
        }
        if (!QFileInfo::exists(reference)) return -1;
        const QImage a = QImage(rendered).convertToFormat(QImage::Format_ARGB32);
        const QImage b = QImage(reference).convertToFormat(QImage::Format_ARGB32);
        if (a.isNull() || a.size() != b.size()) return 2;
        qint64 differing = 0;
        for (int y = 0; y < a.height(); ++y) {
            const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
            const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
            for (int x = 0; x < a.width(); ++x)
                if (std::abs(qRed(ra[x]) - qRed(rb[x])) > channelTolerance ||
                    std::abs(qGreen(ra[x]) - qGreen(rb[x])) > channelTolerance ||
                    std::abs(qBlue(ra[x]) - qBlue(rb[x])) > channelTolerance)
                    ++differing;
        }
        return double(differing) / double(qint64(a.width()) * a.height());
    }
    Q_INVOKABLE bool makeFolder(const QString& folder) const { return QDir().mkpath(folder); }
};

// What the QML cases need of the model beyond its QML interface: putting a stand-in live
// controller in the model's live slot.
class TestSupport : public QObject {
    Q_OBJECT
public:
    explicit TestSupport(AppModel*& model) : model(model) {}
    Q_INVOKABLE void setLive(QObject* controller) { model->setLive(controller); }

private:
    AppModel*& model;
};

class Setup : public QObject {
    Q_OBJECT
public:
    Setup() {
        // Dates on the pages read the same on every machine.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
        // No face models: the engine fails at once instead of searching and loading.
        qputenv("ATTENDANCE_MODELS", models.path().toUtf8());
    }

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        engine->addImageProvider(FileImageProvider::providerID, new FileImageProvider);
        const auto root = std::filesystem::path(library.path().toStdString()) / "Tallymere";
        seed(Library(root));
        AppModel::Options options;
        options.root = root;
        options.arguments = {};
        model = std::make_unique<AppModel>(std::move(options));
        engine->rootContext()->setContextProperty(QStringLiteral("testModel"), model.get());
        modelPointer = model.get();
        engine->rootContext()->setContextProperty(QStringLiteral("testSupport"), &support);
        engine->rootContext()->setContextProperty(QStringLiteral("testLibraryRoot"),
                                                  QString::fromStdString(root.string()));
        engine->rootContext()->setContextProperty(QStringLiteral("renderCheck"), &renderCheck);
        engine->rootContext()->setContextProperty(
            QStringLiteral("renderFolder"),
            QStringLiteral(TALLYMERE_BINARY_DIR "/screens-rendered"));
        engine->rootContext()->setContextProperty(
            QStringLiteral("referenceFolder"), QStringLiteral(QUICK_TEST_SOURCE_DIR "/references"));
    }
    void cleanupTestCase() { model.reset(); }

private:
    QTemporaryDir library;
    QTemporaryDir models;
    std::unique_ptr<AppModel> model;
    AppModel* modelPointer = nullptr;
    TestSupport support{modelPointer};
    RenderCheck renderCheck;
};

// As QUICK_TEST_MAIN_WITH_SETUP, but in a QApplication: the services page's chart (Qt Charts)
// needs one.
int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    Setup setup;
    return quick_test_main_with_setup(argc, argv, "screens", QUICK_TEST_SOURCE_DIR, &setup);
}

#include "screens_main.moc"
