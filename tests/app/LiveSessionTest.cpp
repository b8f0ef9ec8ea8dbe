// Live sessions in the application: a stream of the shared recording taken live through the model
// into a finished service, discarding, the engine failing, the preview's frames, and the names
// the live page binds to.

#include "LiveSession.h"

#include "AppModel.h"
#include "AppTestSupport.h"
#include "LivePreview.h"
#include "library/Library.h"
#include "support/LiveStreams.h"
#include "support/LocalHttpServer.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QtTest/QtTest>
#include <algorithm>
#include <memory>

using namespace tallymere;
using namespace tallymere::apptest;
using tallymere::testing::LocalHttpServer;
namespace fs = std::filesystem;

namespace {

constexpr int engineTimeout = 60'000;
constexpr int liveTimeout = 90'000;

std::unique_ptr<AppModel> openModel(const fs::path& root, std::optional<fs::path> models) {
    AppModel::Options options;
    options.root = root;
    options.modelsDirectory = std::move(models);
    auto model = std::make_unique<AppModel>(std::move(options));
    return model;
}

bool hasMember(const QVariantList& list, const QString& id) {
    return std::any_of(list.begin(), list.end(),
                       [&](const QVariant& v) { return v.toMap().value("memberID") == id; });
}

} // namespace

class LiveSessionTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void streamIsTakenLiveIntoAFinishedService();
    void discardWritesNothing();
    void failsWhenTheFaceModelsDoNotLoad();
    void startLiveTakesOnlyKnownSources();
    void namesTheLivePageBindsTo();
};

void LiveSessionTest::streamIsTakenLiveIntoAFinishedService() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    const fs::path root = dir / "library";
    const auto idOf = seedEnrolledLibrary(root);
    const QString lin = QString::fromStdString(idOf.at("Lin-Manuel Miranda"));
    const fs::path hls = tallymere::testing::hlsOfSharedRecording();
    QVERIFY(!hls.empty());
    LocalHttpServer server(hls);

    auto model = openModel(root, convertedModels());
    const int servicesBefore = model->serviceList()->rowCount();
    LiveSession* live =
        model->startLive("stream", QString::fromStdString(server.url("index.m3u8")));
    QVERIFY(live);
    QCOMPARE(model->live(), static_cast<QObject*>(live));
    QCOMPARE(live->state(), QString("idle"));
    QCOMPARE(live->sourceTitle(), QString("127.0.0.1"));
    const QString serviceID = live->serviceID();
    QVERIFY(!serviceID.isEmpty());
    QSignalSpy labels(live, &LiveSession::labelChanged);
    live->setLabel("Evening service");
    QCOMPARE(labels.count(), 1);
    QCOMPARE(live->label(), QString("Evening service"));

    // The preview, in a window of its own, shows the stream's frames as they come.
    QQuickWindow window;
    window.resize(480, 270);
    LivePreview preview(window.contentItem());
    preview.setSize(QSizeF(480, 270));
    preview.setLive(live);
    window.show();

    QSignalSpy states(live, &LiveSession::stateChanged);
    live->start();
    QTRY_COMPARE_WITH_TIMEOUT(live->state(), QString("running"), engineTimeout);
    QVERIFY(states.count() >= 2);                               // starting, running
    QCOMPARE(model->serviceList()->rowCount(), servicesBefore); // nothing saved while running

    QTRY_VERIFY_WITH_TIMEOUT(hasMember(live->presence(), lin), liveTimeout);
    const int framesAtPresence = preview.frameCount();
    QVERIFY(framesAtPresence > 0);
    QCOMPARE(live->frameWidth(), 640.0);
    QCOMPARE(live->frameHeight(), 360.0);
    QTRY_VERIFY_WITH_TIMEOUT(preview.frameCount() > framesAtPresence + 5, 10'000);
    // The newest frame is drawn: the window shows a picture, not its empty background.
    const QImage shot = window.grabWindow();
    QVERIFY(!shot.isNull());
    QSet<QRgb> colours;
    for (int y = 20; y < 260; y += 20)
        for (int x = 20; x < 470; x += 30)
            colours.insert(shot.pixel(x * shot.width() / 480, y * shot.height() / 270));
    QVERIFY2(colours.size() > 10, "the preview drew no picture");
    // Fitted with the picture's aspect kept: 640 by 360 fills 480 by 270 exactly.
    QCOMPARE(preview.pictureRect(), QRectF(0, 0, 480, 270));
    preview.setSize(QSizeF(480, 400));
    QCOMPARE(preview.pictureRect(), QRectF(0, 65, 480, 270));
    QTRY_VERIFY_WITH_TIMEOUT(!live->faces().isEmpty(), liveTimeout);
    const QVariantMap face = live->faces().constFirst().toMap();
    QCOMPARE(face.value("box").toList().size(), 4);
    QVERIFY(face.contains("memberID"));

    QSignalSpy finished(live, &LiveSession::finished);
    QPointer<LiveSession> held(live);
    live->finish(live->label());
    QCOMPARE(live->state(), QString("finishing"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, liveTimeout);
    QVERIFY(held);
    QCOMPARE(live->state(), QString("idle"));
    QCOMPARE(finished.first().value(0).toString(), serviceID);
    QVERIFY(!model->live());

    // The finished service is the first of the list and stored as it is shown.
    QCOMPARE(model->serviceList()->rowCount(), servicesBefore + 1);
    QCOMPARE(model->serviceList()->idAt(0), serviceID);
    for (const Service& service :
         {model->serviceRecords().front(), Library(root).loadServices().front()}) {
        QCOMPARE(QString::fromStdString(service.id), serviceID);
        QCOMPARE(service.label, std::string("Evening service"));
        QCOMPARE(service.status, ServiceStatus::done);
        QCOMPARE(service.message, std::string("Finished"));
        QVERIFY(service.liveSource.has_value());
        QCOMPARE(*service.liveSource, std::string("127.0.0.1"));
        QVERIFY(service.sourcePaths.empty());
        QVERIFY(service.results.has_value());
        const auto found =
            std::find_if(service.results->members.begin(), service.results->members.end(),
                         [&](const MemberResult& m) { return m.memberID == lin.toStdString(); });
        QVERIFY(found != service.results->members.end());
        QVERIFY(found->present);
        QVERIFY(service.results->framesAnalysed > 0);
    }

    // The saved session stays readable until the next one starts, which lets it go.
    LiveSession* next = model->startLive("stream", "file:///nowhere/next.mp4");
    QVERIFY(next);
    QTRY_VERIFY(!held);
    QCOMPARE(next->sourceTitle(), QString("next.mp4"));
}

void LiveSessionTest::discardWritesNothing() {
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    TempFolder dir;
    const fs::path root = dir / "library";
    seedEnrolledLibrary(root);
    auto model = openModel(root, convertedModels());
    LiveSession* live = model->startLive(
        "stream", QString::fromStdString(tallymere::testing::sharedRecordingUrl()));
    QVERIFY(live);
    const std::string serviceID = live->serviceID().toStdString();
    live->start();
    QTRY_COMPARE_WITH_TIMEOUT(live->state(), QString("running"), engineTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(live->controller().frameCount() > 0, liveTimeout);

    live->discard();
    QCOMPARE(live->state(), QString("idle"));
    QVERIFY(!model->live());
    QTest::qWait(500);
    QCOMPARE(model->serviceList()->rowCount(), 0);
    QVERIFY(Library(root).loadServices().empty());
    QVERIFY(!fs::exists(Library(root).serviceDir(serviceID)));

    // A finish asked for after the discard saves nothing either.
    live->finish("Too late");
    QTest::qWait(500);
    QVERIFY(Library(root).loadServices().empty());
}

void LiveSessionTest::failsWhenTheFaceModelsDoNotLoad() {
    TempFolder dir;
    auto model = openModel(dir / "library", dir / "no-models");
    LiveSession* live = model->startLive("stream", "file:///nowhere/service.mp4");
    QVERIFY(live);
    live->start();
    QCOMPARE(live->state(), QString("starting"));
    QTRY_COMPARE_WITH_TIMEOUT(live->state(), QString("failed"), engineTimeout);
    QVERIFY(!model->engineError().has_value() ||
            live->message() == QString::fromStdString(*model->engineError()));
    QVERIFY(!live->message().isEmpty());
    // A failed session without a session to finish saves nothing; the operator discards it.
    live->finish(live->label());
    QCOMPARE(live->state(), QString("failed"));
    live->discard();
    QVERIFY(!model->live());
    QVERIFY(Library(dir / "library").loadServices().empty());
}

void LiveSessionTest::startLiveTakesOnlyKnownSources() {
    TempFolder dir;
    auto model = openModel(dir / "library", dir / "no-models");
    QVERIFY(!model->startLive("microphone", "x"));
    QVERIFY(!model->live());

    LiveSession* camera = model->startLive("camera", "usb-0000:00:14.0-1", "Hall camera");
    QVERIFY(camera);
    QVERIFY(camera->isCamera());
    QCOMPARE(camera->sourceTitle(), QString("Hall camera"));
    QCOMPARE(camera->label(), QString("Live"));
    // Each session takes a service id of its own; a new one replaces (and stops) the current.
    LiveSession* stream = model->startLive("stream", "rtsp://camera.local:554/hall");
    QVERIFY(stream);
    QCOMPARE(model->live(), static_cast<QObject*>(stream));
    QVERIFY(stream->serviceID() != camera->serviceID());
    QCOMPARE(stream->sourceTitle(), QString("camera.local"));

    for (const QVariant& entry : model->availableCameras()) {
        const QVariantMap camera = entry.toMap();
        QVERIFY(camera.contains("id") && camera.contains("name"));
    }
}

void LiveSessionTest::namesTheLivePageBindsTo() {
    const QMetaObject& meta = LiveSession::staticMetaObject;
    for (const char* name : {"label", "state", "message", "faces", "frameWidth", "frameHeight",
                             "presence", "elapsed", "serviceID", "analysedFPS"}) {
        const int index = meta.indexOfProperty(name);
        QVERIFY2(index >= 0, name);
        const QMetaProperty property = meta.property(index);
        QVERIFY2(property.isConstant() || property.hasNotifySignal(), name);
    }
    QVERIFY(meta.property(meta.indexOfProperty("label")).isWritable());
    for (const char* method : {"start()", "finish(QString)", "discard()"})
        QVERIFY2(meta.indexOfMethod(method) >= 0, method);
    QVERIFY(AppModel::staticMetaObject.indexOfMethod("startLive(QString,QString,QString)") >= 0);
    QVERIFY(AppModel::staticMetaObject.indexOfMethod("availableCameras()") >= 0);

}

TALLYMERE_APP_TEST(LiveSessionTest);
#include "LiveSessionTest.moc"
