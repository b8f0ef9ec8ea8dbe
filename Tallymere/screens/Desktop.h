#pragma once

#include "AppModel.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

namespace tallymere {

// What the screens ask of the desktop: writing a register where the user chose, and showing a
// service's recording in the file manager. Reachable from QML as `Desktop`.
class Desktop : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit Desktop(QObject* parent = nullptr) : QObject(parent) {}

    // The service's register as CSV, names from the model's current members; "" when there is
    // no such service.
    Q_INVOKABLE static QString registerCSV(tallymere::AppModel* model, const QString& serviceID);
    // Writes the text's UTF-8 bytes as the whole file; false when it cannot be written.
    Q_INVOKABLE static bool writeText(const QUrl& file, const QString& text);
    // Opens the file manager on the files: selected through the freedesktop file-manager
    // interface when the session has one, else their folder opened through the desktop.
    Q_INVOKABLE static void showFiles(const QStringList& paths);
    // The folder of a local file, as a URL (the save dialog's starting place).
    Q_INVOKABLE static QUrl documentsFolder();
};

} // namespace tallymere
