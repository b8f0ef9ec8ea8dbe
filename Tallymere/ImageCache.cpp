#include "ImageCache.h"

#include "engine/BGRAImage.h"

#include <QQmlEngine>
#include <cmath>
#include <cstring>

namespace tallymere {

ImageCache& ImageCache::shared() {
    // Made once and never destroyed: views may ask for images until the very end.
    static ImageCache* instance = new ImageCache;
    return *instance;
}

ImageCache* ImageCache::create(QQmlEngine*, QJSEngine*) {
    ImageCache* cache = &shared();
    QQmlEngine::setObjectOwnership(cache, QQmlEngine::CppOwnership);
    return cache;
}

QString ImageCache::key(const QString& path, double size) const {
    std::lock_guard guard(lock);
    const long long points = std::isfinite(size) ? static_cast<long long>(size) : 0;
    return path + "#" + QString::number(points) + "#" + QString::number(versions.value(path, 0));
}

std::optional<ImageCache::KeyParts> ImageCache::parseKey(const QString& key) {
    // The path may hold "#" itself; the size and version are the last two fields.
    const qsizetype versionAt = key.lastIndexOf('#');
    if (versionAt <= 0) return std::nullopt;
    const qsizetype sizeAt = key.lastIndexOf('#', versionAt - 1);
    if (sizeAt <= 0) return std::nullopt;
    bool sizeOk = false;
    bool versionOk = false;
    const int size = key.mid(sizeAt + 1, versionAt - sizeAt - 1).toInt(&sizeOk);
    key.mid(versionAt + 1).toInt(&versionOk);
    if (!sizeOk || !versionOk) return std::nullopt;
    return KeyParts{key.left(sizeAt), size};
}

void ImageCache::invalidate(const QString& path) {
    {
        std::lock_guard guard(lock);
        versions[path] += 1;
        ++generation_;
    }
    Q_EMIT invalidated(path);
}

int ImageCache::generation() const {
    std::lock_guard guard(lock);
    return generation_;
}

QImage ImageCache::thumbnail(const QString& path, int maxPixel) {
    if (maxPixel <= 0) return {};
    // The engine's loader decodes the whole file (never an embedded preview), turns it upright
    // and bounds the longer side, so the full-size picture is never kept.
    const auto decoded = BGRAImage::load(path.toStdString(), maxPixel);
    if (!decoded || decoded->width <= 0 || decoded->height <= 0) return {};
    // 4 bytes in blue, green, red, alpha order are Qt's 32-bit ARGB on this little-endian
    // machine, and the loader premultiplies alpha.
    QImage image(decoded->width, decoded->height, QImage::Format_ARGB32_Premultiplied);
    const std::size_t rowBytes = static_cast<std::size_t>(decoded->width) * 4;
    for (int y = 0; y < decoded->height; ++y)
        std::memcpy(image.scanLine(y),
                    decoded->data.data() + rowBytes * static_cast<std::size_t>(y), rowBytes);
    return image;
}

std::optional<QImage> ImageCache::cached(const QString& key) const {
    std::lock_guard guard(cacheLock);
    if (const QImage* image = cache.object(key)) return *image;
    return std::nullopt;
}

void ImageCache::insert(const QString& key, const QImage& image) {
    std::lock_guard guard(cacheLock);
    const qsizetype bytes = image.sizeInBytes();
    cache.insert(key, new QImage(image), bytes > 0 ? bytes : 1);
}

int ImageCache::cachedCount() const {
    std::lock_guard guard(cacheLock);
    return static_cast<int>(cache.count());
}

QUrl ImageCache::source(const QString& path, double size, int) const {
    if (path.isEmpty()) return {};
    return QUrl("image://files/" + QString::fromLatin1(QUrl::toPercentEncoding(key(path, size))));
}

} // namespace tallymere
