#include "Desktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStandardPaths>

namespace tallymere {

void Desktop::showFiles(const QStringList& paths) {
    if (paths.isEmpty()) return;
    QStringList uris;
    for (const auto& path : paths)
        uris << QUrl::fromLocalFile(path).toString();
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    auto bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() &&
        bus.interface()->isServiceRegistered(service).value()) {
        auto call =
            QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                           service, QStringLiteral("ShowItems"));
        call << uris << QString();
        if (bus.send(call)) return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(paths.first()).absolutePath()));
}

QUrl Desktop::documentsFolder() {
    return QUrl::fromLocalFile(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
}

} // namespace tallymere
