#include "Desktop.h"

#include "AppModel.h"
#include "library/Library.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace tallymere {

QString Desktop::registerCSV(AppModel* model, const QString& serviceID) {
    if (!model) return {};
    const Service* service = model->findService(serviceID.toStdString());
    if (!service) return {};
    return QString::fromStdString(model->library().csv(*service, model->memberRecords()));
}

bool Desktop::writeText(const QUrl& file, const QString& text) {
    if (!file.isLocalFile()) return false;
    QSaveFile out(file.toLocalFile());
    if (!out.open(QIODevice::WriteOnly)) return false;
    const QByteArray bytes = text.toUtf8();
    return out.write(bytes) == bytes.size() && out.commit();
}

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
