#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

namespace tallymere {

// What the screens ask of the desktop: showing a service's recording in the file manager and
// where to save. Reachable from QML as `Desktop`.
class Desktop : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit Desktop(QObject* parent = nullptr) : QObject(parent) {}

    // Opens the file manager on the files: selected through the freedesktop file-manager
    // interface when the session has one, else their folder opened through the desktop.
    Q_INVOKABLE static void showFiles(const QStringList& paths);
    // The folder of a local file, as a URL (the save dialog's starting place).
    Q_INVOKABLE static QUrl documentsFolder();
};

} // namespace tallymere
