#include "LivePreview.h"

#include "LiveSession.h"

#include <QImage>
#include <QQuickWindow>
#include <QSGSimpleTextureNode>

namespace tallymere {

namespace {

// Looked for at about the display's rate; a source rarely delivers faster.
constexpr int pollMilliseconds = 16;

// A picture over the frame's own pixels (BGRA bytes are 0xAARRGGBB words on this machine); the
// frame is held until the picture and every copy of it are gone.
QImage wrapped(const SharedFrame& frame) {
    auto* held = new SharedFrame(frame);
    return QImage(
        frame->data.data(), frame->width, frame->height, static_cast<qsizetype>(frame->width) * 4,
        QImage::Format_RGB32, [](void* info) { delete static_cast<SharedFrame*>(info); }, held);
}

} // namespace

LivePreview::LivePreview(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents, true);
    poll_.setInterval(pollMilliseconds);
    connect(&poll_, &QTimer::timeout, this, &LivePreview::poll);
}

LivePreview::~LivePreview() = default;

QRectF LivePreview::fitted(const QSizeF& picture, const QRectF& bounds) {
    if (picture.isEmpty() || bounds.isEmpty()) return bounds;
    const QSizeF size = picture.scaled(bounds.size(), Qt::KeepAspectRatio);
    return {bounds.x() + (bounds.width() - size.width()) / 2,
            bounds.y() + (bounds.height() - size.height()) / 2, size.width(), size.height()};
}

void LivePreview::setLive(LiveSession* live) {
    if (live_ == live) return;
    if (live_) disconnect(live_, nullptr, this, nullptr);
    live_ = live;
    controller_.reset();
    frame_.reset();
    seen_ = 0;
    frameChanged_ = true;
    if (live) {
        controller_ = live->controller().weak_from_this();
        connect(live, &LiveSession::facesChanged, this, &LivePreview::updatePictureRect);
        connect(live, &QObject::destroyed, this, [this] { setLive(nullptr); });
        poll_.start();
    } else {
        poll_.stop();
    }
    updatePictureRect();
    update();
    Q_EMIT liveChanged();
}

void LivePreview::poll() {
    auto controller = controller_.lock();
    if (!controller) return;
    auto [frame, count] = controller->feed().newest();
    if (!frame || count == seen_) return;
    seen_ = count;
    frame_ = std::move(frame);
    frameChanged_ = true;
    ++shown_;
    updatePictureRect();
    update();
    Q_EMIT frameShown();
}

void LivePreview::geometryChange(const QRectF& now, const QRectF& before) {
    QQuickItem::geometryChange(now, before);
    updatePictureRect();
    update();
}

void LivePreview::updatePictureRect() {
    QSizeF picture(16, 9);
    if (frame_)
        picture = QSizeF(frame_->width, frame_->height);
    else if (live_)
        picture = QSizeF(live_->frameWidth(), live_->frameHeight());
    const QRectF rect = fitted(picture, boundingRect());
    if (rect == pictureRect_) return;
    pictureRect_ = rect;
    Q_EMIT pictureRectChanged();
}

QSGNode* LivePreview::updatePaintNode(QSGNode* old, UpdatePaintNodeData*) {
    auto* node = static_cast<QSGSimpleTextureNode*>(old);
    if (!frame_ || frame_->width <= 0 || frame_->height <= 0 || pictureRect_.isEmpty()) {
        delete node;
        return nullptr;
    }
    if (!node) {
        node = new QSGSimpleTextureNode;
        node->setOwnsTexture(true);
        node->setFiltering(QSGTexture::Linear);
        frameChanged_ = true;
    }
    if (frameChanged_) {
        frameChanged_ = false;
        QSGTexture* texture =
            window()->createTextureFromImage(wrapped(frame_), QQuickWindow::TextureIsOpaque);
        node->setTexture(texture); // the node drops the previous texture it owns
    }
    node->setRect(pictureRect_);
    return node;
}

} // namespace tallymere
