#include "FileImageProvider.h"

#include <cstring>

#include "ImageCache.h"

#include <QQuickTextureFactory>
#include <QRunnable>
#include <QUrl>

namespace tallymere {

namespace {

// The picture without colour, as a rejected photo is shown.
QImage greyed(const QImage& image) {
    if (image.isNull()) return image;
    return image.convertToFormat(QImage::Format_Grayscale8);
}


// Decodes on the provider's pool and tells the engine when done; the engine deletes it after
// `finished`, so it is its own job (never deleted by the pool).
class FileImageResponse : public QQuickImageResponse, public QRunnable {
public:
    FileImageResponse(QString key, QString path, int size, bool grey)
        : key(std::move(key)), path(std::move(path)), size(size), grey(grey) {
        setAutoDelete(false);
    }
    // An answer known at once (a cached image, or a key that names no file).
    FileImageResponse(QImage image, QString error)
        : image(std::move(image)), error(std::move(error)) {
        setAutoDelete(false);
    }

    QQuickTextureFactory* textureFactory() const override {
        return QQuickTextureFactory::textureFactoryForImage(image);
    }
    QString errorString() const override { return error; }

    void run() override {
        image = ImageCache::thumbnail(path, 2 * size);
        if (image.isNull())
            error = "Cannot read " + path;
        else
            ImageCache::shared().insert(key, image);
        if (grey) image = greyed(image);
        finishSoon();
    }

    // Answers through the event loop of the thread that asked: the engine connects to
    // `finished` only after the provider has returned, so a direct signal could come too early.
    void finishSoon() {
        QMetaObject::invokeMethod(this, &QQuickImageResponse::finished, Qt::QueuedConnection);
    }

private:
    QString key;
    QString path;
    int size = 0;
    bool grey = false;
    QImage image;
    QString error;
};

} // namespace

FileImageProvider::FileImageProvider() {
    // Decoding is background work of low urgency; a few at a time keep the window responsive.
    pool.setMaxThreadCount(2);
}

FileImageProvider::~FileImageProvider() {
    pool.waitForDone();
}

QQuickImageResponse* FileImageProvider::requestImageResponse(const QString& id, const QSize&) {
    // The key is percent-encoded, so a literal suffix cannot be part of it.
    const bool grey = id.endsWith(QLatin1String(greySuffix));
    const QString key =
        QUrl::fromPercentEncoding(id.chopped(grey ? qsizetype(std::strlen(greySuffix)) : 0).toUtf8());
    const auto parts = ImageCache::parseKey(key);
    if (!parts) {
        auto* response = new FileImageResponse(QImage(), "Not an image key: " + key);
        response->finishSoon();
        return response;
    }
    if (auto image = ImageCache::shared().cached(key)) {
        auto* response = new FileImageResponse(grey ? greyed(*image) : *image, QString());
        response->finishSoon();
        return response;
    }
    auto* response = new FileImageResponse(key, parts->path, parts->size, grey);
    pool.start(response);
    return response;
}

} // namespace tallymere
