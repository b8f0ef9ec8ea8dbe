#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>

namespace tallymere {

// What the new-service sheet accepts as a source: recording and photo files by extension, stream
// addresses, and the processing modes with their titles and details. Pure functions, reachable
// from QML as `Sources`.
class Sources : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit Sources(QObject* parent = nullptr) : QObject(parent) {}

    // The local files among `urls` whose lower-case extension is a recording or photo extension
    // the library accepts, in order.
    Q_INVOKABLE static QList<QUrl> acceptedFiles(const QList<QUrl>& urls);
    // The file paths of local file URLs, in order.
    Q_INVOKABLE static QStringList paths(const QList<QUrl>& urls);
    // Name filters for a file chooser: recordings and photos, then photos alone.
    Q_INVOKABLE static QString recordingFilter();
    Q_INVOKABLE static QString photoFilter();
    // A stream address the new-service sheet can open, by the window's rule of the core
    // (StreamAddressRule::window): web streams and "file://" URLs, not RTSP.
    Q_INVOKABLE static bool isStreamAddress(const QString& text);
    // Whether the new-service sheet may start: a recognisable member, a label that is not blank
    // (spaces and tabs), and for "video" some files, for "camera" a camera, for "stream" a stream
    // address.
    Q_INVOKABLE static bool canStart(const QString& kind, int recognisable, const QString& label,
                                     int fileCount, const QString& cameraID,
                                     const QString& streamURL);
    // The processing modes' raw values, titles and one-sentence details.
    Q_INVOKABLE static QStringList modes();
    Q_INVOKABLE static QString modeTitle(const QString& mode);
    Q_INVOKABLE static QString modeDetail(const QString& mode);
    // The text with leading and trailing spaces and tabs removed (line breaks stay).
    Q_INVOKABLE static QString trimmed(const QString& text);
};

} // namespace tallymere
