// The shell: the window as the application loads it, the command line's window options, the
// notifications the screens act on, and asking for attention when attendance is ready.

#include "AppModel.h"
#include "AppTestSupport.h"
#include "FileImageProvider.h"
#include "Notifier.h"
#include "library/Library.h"
#include "library/LibraryLock.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QtTest/QtTest>
#include <fstream>
#include <memory>

using namespace tallymere;
using namespace tallymere::apptest;
namespace fs = std::filesystem;

namespace {

// The model and its window, loaded as the program loads them.
struct Shell {
    Shell(const fs::path& root, QStringList arguments, std::optional<fs::path> models = {}) {
        AppModel::Options options;
        options.root = root;
        options.arguments = std::move(arguments);
        options.modelsDirectory = models ? *models : root / "no-models";
        model = std::make_unique<AppModel>(std::move(options));
        engine.addImportPath("qrc:/qt/qml");
        engine.addImageProvider(FileImageProvider::providerID, new FileImageProvider);
        engine.setInitialProperties({{"appModel", QVariant::fromValue(model.get())}});
        engine.load(QUrl("qrc:/qt/qml/Tallymere/Window/Main.qml"));
        if (!engine.rootObjects().isEmpty())
            window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    }
    QString section() const { return window->property("section").toString(); }
    // The route on top of the navigation path as "kind:id", "" when the path is empty.
    QString route() const {
        const QVariantList path = window->property("path").toList();
        if (path.isEmpty()) return {};
        const QVariantMap top = path.constLast().toMap();
        return top.value("kind").toString() + ":" + top.value("id").toString();
    }

    std::unique_ptr<AppModel> model;
    QQmlApplicationEngine engine;
    QQuickWindow* window = nullptr;
};

// The visible item under `item` named `name`, searched through the visual tree.
QQuickItem* findItem(QQuickItem* item, const QString& name) {
    if (!item) return nullptr;
    if (item->objectName() == name && item->isVisible()) return item;
    for (QQuickItem* child : item->childItems())
        if (QQuickItem* found = findItem(child, name)) return found;
    return nullptr;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theWindowIsTallymereAtLeast960By640();
    void windowOptionsAreActedOnOnceInOrder();
    void openServiceLatestWithNoServicesDoesNothing();
    void notificationsReachTheWindow();
    void theWindowSaysWhyItCannotChangeTheLibrary();
    void attentionIsAskedOnlyWhileInactiveAndClearedOnActivation();
    void unreadableServicesAndPicturelessLiveSaySoAndOfferAWayOn();
};

void WindowTest::theWindowIsTallymereAtLeast960By640() {
    TempFolder dir;
    Shell shell(dir / "library", {});
    QVERIFY(shell.window);
    QCOMPARE(shell.window->title(), QString("Tallymere"));
    QVERIFY(shell.window->minimumWidth() >= 960);
    QVERIFY(shell.window->minimumHeight() >= 640);
    QVERIFY(shell.window->isVisible());
    QCOMPARE(shell.section(), QString("home"));
    QVERIFY(QTest::qWaitForWindowExposed(shell.window));
    // Light: the window's own background is white.
    QCOMPARE(shell.window->color(), QColor(Qt::white));
}

void WindowTest::windowOptionsAreActedOnOnceInOrder() {
    TempFolder dir;
    storedService(Library(dir / "library"), "20260301-100000-aaaa", ServiceStatus::done);
    Shell shell(dir / "library",
                {"--open-service", "latest", "--section", "members", "--open-member", "M0001"});
    QVERIFY(shell.window);
    QSignalSpy newService(shell.model.get(), &AppModel::newService);
    // "--section" first, then "--open-service" selects services and opens the page 0.3 s later,
    // then "--open-member" selects members and opens that page, which ends on top.
    QCOMPARE(shell.section(), QString("members"));
    QTRY_COMPARE(shell.route(), QString("member:M0001"));
    QCOMPARE(newService.count(), 0);

    // Shown again, nothing is applied a second time.
    shell.window->setProperty("section", "home");
    shell.window->hide();
    shell.window->show();
    QTest::qWait(400);
    QCOMPARE(shell.section(), QString("home"));
}

void WindowTest::openServiceLatestWithNoServicesDoesNothing() {
    TempFolder dir;
    Shell shell(dir / "library", {"--open-service", "latest", "--section", "elsewhere"});
    QVERIFY(shell.window);
    QTest::qWait(400);
    QCOMPARE(shell.section(), QString("home"));
    QCOMPARE(shell.route(), QString());
}

void WindowTest::notificationsReachTheWindow() {
    TempFolder dir;
    Shell shell(dir / "library", {"--new-service"});
    QVERIFY(shell.window);
    Q_EMIT shell.model->gotoMembers();
    QCOMPARE(shell.section(), QString("members"));
    // The menu's commands are the model's notifications; the window opens its sheets on them.
    QSignalSpy newMember(shell.model.get(), &AppModel::newMember);
    QVERIFY(QTest::qWaitForWindowExposed(shell.window));
    shell.window->requestActivate();
    QTest::keyClick(shell.window, Qt::Key_N, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_COMPARE(newMember.count(), 1);
}

void WindowTest::theWindowSaysWhyItCannotChangeTheLibrary() {
    TempFolder dir;
    const fs::path root = dir / "library";
    Library library(root);
    auto tool =
        LibraryLock::tryAcquire(root, LibraryLock::Range::library, LibraryLock::Kind::shared);
    QVERIFY(tool);
    Shell shell(root, {});
    QVERIFY(shell.window);
    auto* status = shell.window->findChild<QObject*>("libraryStatus");
    QVERIFY(status);
    QCOMPARE(status->property("text").toString(),
             QString::fromUtf8(AppModel::waitingForToolMessage));
    tool.reset();
    QTRY_COMPARE(status->property("text").toString(), QString());
}

void WindowTest::attentionIsAskedOnlyWhileInactiveAndClearedOnActivation() {
    QWindow window;
    window.resize(200, 100);
    window.show();
    Notifier notifier;
    notifier.setWindow(&window);
    QSignalSpy changed(&notifier, &Notifier::attentionChanged);

    // In the background (no session bus or notification service needed): attention is asked.
    QVERIFY(!window.isActive());
    notifier.notifyDone("Sunday");
    QVERIFY(notifier.attention());
    QCOMPARE(changed.count(), 1);

    // Becoming active clears it, and a run finishing in front asks for nothing.
    window.requestActivate();
    QTRY_VERIFY(window.isActive());
    QTRY_VERIFY(!notifier.attention());
    notifier.notifyDone("Evening");
    QVERIFY(!notifier.attention());
}

TALLYMERE_APP_TEST(WindowTest);

void WindowTest::unreadableServicesAndPicturelessLiveSaySoAndOfferAWayOn() {
    TempFolder dir;
    const fs::path root = dir / "library";
    const fs::path folder = root / "services" / "20260301-100000-aaaa";
    storedService(Library(root), "20260201-100000-bbbb", ServiceStatus::done);
    storedService(Library(root), "20260301-100000-aaaa", ServiceStatus::done);
    std::ofstream(folder / "service.json", std::ios::trunc) << "{\"id\": ";
    {
        Shell shell(root, {"--section", "services"});
        QVERIFY(shell.window);
        QQuickItem* content = shell.window->contentItem();
        QQuickItem* card = nullptr;
        QTRY_VERIFY((card = findItem(content, "unreadableService")));
        bool shown = false;
        for (QQuickItem* item : card->findChildren<QQuickItem*>())
            shown = shown || item->property("text").toString() ==
                                 "The service 20260301-100000-aaaa cannot be read: service.json "
                                 "is not valid JSON (line 1, column 8).";
        QVERIFY(shown);
        QQuickItem* remove = findItem(card, "setAsideService");
        QVERIFY(remove);
        QMetaObject::invokeMethod(remove, "clicked");
        QTRY_VERIFY(!findItem(content, "unreadableService"));
        QVERIFY(!fs::exists(folder));
        QCOMPARE(std::distance(fs::directory_iterator(root / "services"), fs::directory_iterator()),
                 2);
        // The export dialog's choice inside the library is refused, whatever it replaces.
        const fs::path record = root / "services" / "20260201-100000-bbbb" / "service.json";
        QVERIFY(!shell.model->exportRegister(
            "20260201-100000-bbbb", QUrl::fromLocalFile(QString::fromStdString(record.string()))));
        QVERIFY2(shell.model->notice().contains("is inside the library"),
                 qPrintable(shell.model->notice()));
        QCOMPARE(Library(root).loadServices().size(), 1u);
    }
    if (!haveShared()) QSKIP(qPrintable(missingSharedMessage()));
    // A stream that gives no picture: the live page says so and offers to try again.
    Member anne;
    anne.id = "M0001";
    anne.name = "Anne";
    Photo photo("p.jpg", Date{});
    photo.checked = photo.ok = true;
    photo.embedding = std::vector<float>(512, 0.0f);
    (*photo.embedding)[0] = 1;
    anne.photos = {photo};
    Library(root).saveMembers({anne});
    const QString source = QString::fromStdString("file://" + (dir / "missing.mp4").string());
    Shell shell(root, {"--live-stream", source}, convertedModels());
    QVERIFY(shell.window);
    QQuickItem* content = shell.window->contentItem();
    QQuickItem* failure = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((failure = findItem(content, "liveFailure")), 60'000);
    QCOMPARE(failure->property("text").toString(),
             QString("No picture came from missing.mp4: no such file or directory."));
    auto* first = shell.model->live();
    QQuickItem* retry = findItem(content, "retryLive");
    QVERIFY(retry);
    QMetaObject::invokeMethod(retry, "clicked");
    QVERIFY(shell.model->live() && shell.model->live() != first);
    QTRY_COMPARE(shell.model->live()->property("state").toString(), QString("failed"));
    QCOMPARE(Library(root).loadServices().size(), 1u);
}

#include "WindowTest.moc"
