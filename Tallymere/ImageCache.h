#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QtQml/qqmlregistration.h>
#include <mutex>
#include <optional>

class QQmlEngine;
class QJSEngine;

namespace tallymere {

// Decoded photos and thumbnails shared by every view, keyed by file, size and how often the file
// was invalidated. Invalidating a file changes its key instead of deleting entries, so every view
// showing it asks again and gets the new picture. `key` and `invalidate` may be called from any
// thread; `invalidate` is called on the GUI thread so that views hear of it.
class ImageCache : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // Grows with every invalidation; image sources bind to it to be asked again.
    Q_PROPERTY(int generation READ generation NOTIFY invalidated)

public:
    static ImageCache& shared();
    static ImageCache* create(QQmlEngine*, QJSEngine*);

    // The file path, "#", the size truncated to an integer, "#", and the path's version.
    QString key(const QString& path, double size) const;
    // The key's parts; nothing for a text that is not a key.
    struct KeyParts {
        QString path;
        int size = 0;
    };
    static std::optional<KeyParts> parseKey(const QString& key);

    void invalidate(const QString& path);
    int generation() const;

    // The file decoded upright with its longer side at most `maxPixel`, from the full image; a
    // null image when the file cannot be opened or decoded.
    static QImage thumbnail(const QString& path, int maxPixel);

    std::optional<QImage> cached(const QString& key) const;
    void insert(const QString& key, const QImage& image);
    int cachedCount() const;

    // The image source for a file shown at `size` points: "image://files/" and the key, or an
    // empty URL without a path. `generation` is only there for bindings to depend on.
    Q_INVOKABLE QUrl source(const QString& path, double size, int generation = 0) const;

Q_SIGNALS:
    void invalidated(const QString& path);

private:
    ImageCache() = default;

    mutable std::mutex lock; // the versions and every key computation
    QHash<QString, int> versions;
    int generation_ = 0;
    mutable std::mutex cacheLock;
    QCache<QString, QImage> cache{512 * 1024 * 1024}; // cost: bytes; evicts the oldest
};

} // namespace tallymere
