// The image cache: its keys, invalidation, decoding at twice the size, and the image provider and
// FileImage that load through it.

#include "ImageCache.h"

#include "AppTestSupport.h"
#include "FileImageProvider.h"

#include <QImage>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest/QtTest>
#include <memory>

using namespace tallymere;
using namespace tallymere::apptest;

namespace {

struct Answer {
    QImage image;
    QString error;
};

// Asks the provider as the engine does, by the percent-encoded key, and waits for the answer.
Answer request(FileImageProvider& provider, const QString& key, const QString& suffix = {}) {
    std::unique_ptr<QQuickImageResponse> response(provider.requestImageResponse(
        QString::fromLatin1(QUrl::toPercentEncoding(key)) + suffix, QSize()));
    QSignalSpy finished(response.get(), &QQuickImageResponse::finished);
    if (!finished.wait(10'000)) return {{}, "no answer"};
    Answer answer;
    answer.error = response->errorString();
    if (answer.error.isEmpty()) {
        std::unique_ptr<QQuickTextureFactory> factory(response->textureFactory());
        if (factory) answer.image = factory->image();
    }
    return answer;
}

QString writePicture(const TempFolder& dir, const std::string& name, int width, int height) {
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(QColor(200, 120, 40));
    const QString path = QString::fromStdString((dir / name).string());
    picture.save(path);
    return path;
}

} // namespace

class ImageCacheTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void keysAreThePathTheWholeSizeAndTheVersion();
    void invalidatingChangesTheKeyAndTellsTheViews();
    void keysParseBackEvenWithHashesInThePath();
    void thumbnailsAreDecodedAtTwiceTheSizeAndCachedPerSize();
    void aMissingOrUndecodableFileIsAnErrorAndNotCached();
    void fileImageLoadsThroughTheProviderAndReloadsWhenInvalidated();
};

void ImageCacheTest::keysAreThePathTheWholeSizeAndTheVersion() {
    ImageCache& cache = ImageCache::shared();
    QCOMPARE(cache.key("/photos/keys-a.jpg", 150.9), QString("/photos/keys-a.jpg#150#0"));
    QCOMPARE(cache.key("/photos/keys-a.jpg", 44), QString("/photos/keys-a.jpg#44#0"));
    QVERIFY(cache.source("", 40).isEmpty());
    QCOMPARE(cache.source("/photos/keys a#1.jpg", 40).toString(QUrl::FullyEncoded),
             QString("image://files/%2Fphotos%2Fkeys%20a%231.jpg%2340%230"));
}

void ImageCacheTest::invalidatingChangesTheKeyAndTellsTheViews() {
    ImageCache& cache = ImageCache::shared();
    QSignalSpy invalidated(&cache, &ImageCache::invalidated);
    const int generation = cache.generation();
    const QString before = cache.key("/photos/inv.jpg", 150);
    cache.invalidate("/photos/inv.jpg");
    cache.invalidate("/photos/inv.jpg");
    QCOMPARE(cache.key("/photos/inv.jpg", 150), QString("/photos/inv.jpg#150#2"));
    QVERIFY(cache.key("/photos/inv.jpg", 150) != before);
    QCOMPARE(cache.key("/photos/other.jpg", 150), QString("/photos/other.jpg#150#0"));
    QCOMPARE(invalidated.count(), 2);
    QCOMPARE(cache.generation(), generation + 2);
}

void ImageCacheTest::keysParseBackEvenWithHashesInThePath() {
    const auto parts = ImageCache::parseKey("/a#b/c.jpg#40#3");
    QVERIFY(parts);
    QCOMPARE(parts->path, QString("/a#b/c.jpg"));
    QCOMPARE(parts->size, 40);
    QVERIFY(!ImageCache::parseKey("/a/c.jpg"));
    QVERIFY(!ImageCache::parseKey("/a/c.jpg#x#1"));
    QVERIFY(!ImageCache::parseKey("#40#1"));
}

void ImageCacheTest::thumbnailsAreDecodedAtTwiceTheSizeAndCachedPerSize() {
    TempFolder dir;
    const QString path = writePicture(dir, "wide.png", 1200, 600);
    QCOMPARE(ImageCache::thumbnail(path, 100).size(), QSize(100, 50));
    QCOMPARE(ImageCache::thumbnail(path, 5000).size(), QSize(1200, 600)); // never enlarged

    FileImageProvider provider;
    ImageCache& cache = ImageCache::shared();
    const int before = cache.cachedCount();
    const Answer small = request(provider, cache.key(path, 40));
    QVERIFY2(small.error.isEmpty(), qPrintable(small.error));
    QCOMPARE(small.image.size(), QSize(80, 40));
    const Answer large = request(provider, cache.key(path, 150));
    QCOMPARE(large.image.size(), QSize(300, 150));
    QCOMPARE(cache.cachedCount(), before + 2);
    QVERIFY(cache.cached(cache.key(path, 40)));
    QVERIFY(cache.cached(cache.key(path, 150)));
    // Asked again, the cached picture comes back without another entry.
    QCOMPARE(request(provider, cache.key(path, 40)).image.size(), QSize(80, 40));
    QCOMPARE(cache.cachedCount(), before + 2);
    // A rejected photo's picture: the same thumbnail without colour.
    const QRgb colour = small.image.pixel(10, 10);
    QVERIFY(qRed(colour) != qBlue(colour));
    const Answer grey = request(provider, cache.key(path, 40), FileImageProvider::greySuffix);
    QVERIFY2(grey.error.isEmpty(), qPrintable(grey.error));
    QCOMPARE(grey.image.size(), QSize(80, 40));
    const QRgb shade = grey.image.pixel(10, 10);
    QVERIFY(qRed(shade) == qGreen(shade) && qGreen(shade) == qBlue(shade));
    QCOMPARE(cache.cachedCount(), before + 2);
}

void ImageCacheTest::aMissingOrUndecodableFileIsAnErrorAndNotCached() {
    TempFolder dir;
    FileImageProvider provider;
    ImageCache& cache = ImageCache::shared();
    const int before = cache.cachedCount();
    const QString missing = QString::fromStdString((dir / "gone.jpg").string());
    QVERIFY(!request(provider, cache.key(missing, 40)).error.isEmpty());
    QFile text(QString::fromStdString((dir / "notes.jpg").string()));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a picture");
    text.close();
    QVERIFY(!request(provider, cache.key(text.fileName(), 40)).error.isEmpty());
    QVERIFY(!request(provider, "no key at all").error.isEmpty());
    QCOMPARE(cache.cachedCount(), before);
}

void ImageCacheTest::fileImageLoadsThroughTheProviderAndReloadsWhenInvalidated() {
    TempFolder dir;
    const QString path = writePicture(dir, "face.png", 400, 400);
    QQmlEngine engine;
    engine.addImportPath("qrc:/qt/qml");
    engine.addImageProvider(FileImageProvider::providerID, new FileImageProvider);
    QQmlComponent component(&engine);
    component.setData("import QtQuick\nimport Tallymere\nimport Tallymere.Components\n"
                      "FileImage { property string path; size: 44\n"
                      "    source: ImageCache.source(path, 44, ImageCache.generation) }\n",
                      QUrl());
    std::unique_ptr<QObject> view(component.create());
    QVERIFY2(view, qPrintable(component.errorString()));

    // No file: the placeholder, and nothing asked of the cache.
    QVERIFY(view->property("source").toUrl().isEmpty());
    QVERIFY(!view->property("loaded").toBool());

    view->setProperty("path", path);
    QTRY_VERIFY(view->property("loaded").toBool());
    const QUrl first = view->property("source").toUrl();
    QVERIFY(first.toString().startsWith("image://files/"));
    QCOMPARE(QUrl::fromPercentEncoding(first.path().mid(1).toUtf8()),
             ImageCache::shared().key(path, 44));

    // A new thumbnail written and invalidated: the view asks again under the new key.
    writePicture(dir, "face.png", 300, 300);
    ImageCache::shared().invalidate(path);
    QTRY_VERIFY(view->property("source").toUrl() != first);
    QTRY_VERIFY(view->property("loaded").toBool());

    view->setProperty("path", QString::fromStdString((dir / "missing.png").string()));
    // A missing file: the placeholder again.
    QTRY_VERIFY(!view->property("loaded").toBool());
}

TALLYMERE_APP_TEST(ImageCacheTest);

#include "ImageCacheTest.moc"
