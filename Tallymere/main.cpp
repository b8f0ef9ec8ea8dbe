// tallymere: the desktop application. Makes the one application model on the library folder,
// loads the window and asks for the user's attention when attendance is ready.

#include "AppModel.h"
#include "FileImageProvider.h"
#include "Notifier.h"
#include "engine/ThreadWaiting.h"
#include "library/Library.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSettings>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>
#include <cstdio>
#include <cstring>

Q_IMPORT_QML_PLUGIN(TallymerePlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ScreensPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_ComponentsPlugin)
Q_IMPORT_QML_PLUGIN(Tallymere_WindowPlugin)

using namespace tallymere;

namespace {

// TALLYMERE_SCREENSHOT=<file.png>: once the window has drawn itself and settled, save what it
// shows to the file (for looking at the window on a machine without a screen).
// TALLYMERE_SCREENSHOT_AFTER=<milliseconds> waits that long instead (a live session takes longer).
void saveScreenshotWhenShown(QQuickWindow* window) {
    const QString file = qEnvironmentVariable("TALLYMERE_SCREENSHOT");
    if (file.isEmpty()) return;
    bool ok = false;
    int after = qEnvironmentVariableIntValue("TALLYMERE_SCREENSHOT_AFTER", &ok);
    if (!ok || after < 0) after = 2500;
    QTimer::singleShot(after, window, [window, file] { window->grabWindow().save(file); });
}

} // namespace

int main(int argc, char** argv) {
    // Answered before any window system is needed, so that it works on any terminal.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tallymere %s\n", TALLYMERE_VERSION);
        return 0;
    }
    preferPassiveThreadWaiting(argv);
    // The window is drawn in the light Basic style unless the user chose another.
    if (!qEnvironmentVariableIsSet("QT_QUICK_CONTROLS_STYLE"))
        qputenv("QT_QUICK_CONTROLS_STYLE", "Basic");

    // A QApplication rather than a QGuiApplication: the services page's chart (Qt Charts) needs it.
    QApplication application(argc, argv);
    QGuiApplication::setApplicationName("Tallymere");
    QGuiApplication::setDesktopFileName("tallymere");
    if (QFontDatabase::families().contains("Inter")) {
        QFont font("Inter");
        font.setPixelSize(14);
        QGuiApplication::setFont(font);
    }

    QStringList arguments = QGuiApplication::arguments();
    arguments.removeFirst();
    AppModel::Options options;
    options.root = Library::defaultRoot();
    options.arguments = arguments;
    options.settingsFile =
        QSettings(QSettings::IniFormat, QSettings::UserScope, "Tallymere", "Tallymere").fileName();
    AppModel model(std::move(options));
    Notifier notifier;
    QObject::connect(
        &model, &AppModel::attendanceReady, &notifier,
        [&notifier](const QString&, const QString& label) { notifier.notifyDone(label); });

    QQmlApplicationEngine engine;
    engine.addImportPath("qrc:/qt/qml");
    engine.addImageProvider(FileImageProvider::providerID, new FileImageProvider);
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &application,
        [] { QCoreApplication::exit(-1); }, Qt::QueuedConnection);
    engine.setInitialProperties({{"appModel", QVariant::fromValue(&model)}});
    engine.load(QUrl("qrc:/qt/qml/Tallymere/Window/Main.qml"));
    if (engine.rootObjects().isEmpty()) return -1;

    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().constFirst());
    if (window) {
        notifier.setWindow(window);
        if (!qEnvironmentVariableIsSet("TALLYMERE_BACKGROUND") &&
            QGuiApplication::platformName() != "offscreen") {
            window->raise();
            window->requestActivate();
        }
        saveScreenshotWhenShown(window);
    }
    return QGuiApplication::exec();
}
