#pragma once

#include "runs/FrameFeed.h"

#include <QPointer>
#include <QQuickItem>
#include <QRectF>
#include <QTimer>
#include <QtQml/qqmlregistration.h>
#include <cstdint>
#include <memory>

namespace tallymere {

class LiveController;
class LiveSession;

// The picture of a live session's source: every frame the feed produces (looked for at the
// display rate), scaled to fit inside the item with its aspect ratio kept. Only the newest frame
// is uploaded, straight from the feed's shared buffer.
class LivePreview : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(tallymere::LiveSession* live READ live WRITE setLive NOTIFY liveChanged)
    // Frames shown so far (a new frame of the source counts once).
    Q_PROPERTY(int frameCount READ frameCount NOTIFY frameShown)
    // Where the picture is drawn inside the item (the whole item before the first frame, fitted
    // to the session's frame size).
    Q_PROPERTY(QRectF pictureRect READ pictureRect NOTIFY pictureRectChanged)

public:
    explicit LivePreview(QQuickItem* parent = nullptr);
    ~LivePreview() override;

    LiveSession* live() const { return live_; }
    void setLive(LiveSession* live);
    int frameCount() const { return shown_; }
    QRectF pictureRect() const { return pictureRect_; }

    // The rectangle of a picture of that size fitted inside `bounds`, centred, aspect kept.
    static QRectF fitted(const QSizeF& picture, const QRectF& bounds);

Q_SIGNALS:
    void liveChanged();
    void frameShown();
    void pictureRectChanged();

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData* data) override;
    void geometryChange(const QRectF& now, const QRectF& before) override;

private:
    void poll();
    void updatePictureRect();

    QPointer<LiveSession> live_;
    std::weak_ptr<LiveController> controller_;
    QTimer poll_;
    SharedFrame frame_;      // the newest frame, shown at the next paint
    std::uint64_t seen_ = 0; // the feed's count of the newest frame taken
    bool frameChanged_ = false;
    int shown_ = 0;
    QRectF pictureRect_;
};

} // namespace tallymere
