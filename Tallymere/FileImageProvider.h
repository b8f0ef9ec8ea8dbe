#pragma once

#include <QQuickAsyncImageProvider>
#include <QThreadPool>

namespace tallymere {

// Serves "image://files/<key>" for the image cache: the id is exactly ImageCache::key (path, "#",
// size, "#", version), percent-encoded in the URL. A cached thumbnail is handed out at once;
// otherwise the file is decoded on the provider's own pool at twice the size in points (for
// high-density screens), upright, never at full size, and cached under the key. A file that is
// missing or cannot be decoded ends with an error, and the view shows its placeholder. An id that
// ends in greySuffix gives the same picture without colour (the cache keeps it in colour).
class FileImageProvider : public QQuickAsyncImageProvider {
public:
    static constexpr const char* providerID = "files";
    static constexpr const char* greySuffix = "/grey";

    FileImageProvider();
    ~FileImageProvider() override;

    QQuickImageResponse* requestImageResponse(const QString& id,
                                              const QSize& requestedSize) override;

private:
    QThreadPool pool;
};

} // namespace tallymere
