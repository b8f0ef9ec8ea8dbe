#include "LiveSession.h"

#include "library/Library.h"
#include "runs/FrameFeed.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace tallymere {

namespace {

// Posts to the GUI thread from any thread. Tasks do not depend on the session object: the
// controller holds itself weakly in what it posts, so a task for a controller gone does nothing.
MainExecutor guiExecutor() {
    return [](std::function<void()> task) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
    };
}

const char* stateName(LiveController::State::Kind kind) {
    switch (kind) {
    case LiveController::State::Kind::idle:
        return "idle";
    case LiveController::State::Kind::starting:
        return "starting";
    case LiveController::State::Kind::running:
        return "running";
    case LiveController::State::Kind::finishing:
        return "finishing";
    case LiveController::State::Kind::failed:
        return "failed";
    }
    return "idle";
}

} // namespace

LiveSession::LiveSession(QObject& owner, LiveSessionHost& host, LiveSourceKind source,
                         std::string serviceID)
    : QObject(&owner), owner_(&owner), host_(&host),
      controller_(LiveController::create(std::move(source), std::move(serviceID), guiExecutor())),
      label_(controller_->label()), state_(controller_->state()),
      lastSize_(controller_->frameSize()) {
    QPointer<LiveSession> self(this);
    controller_->setOnChange([self] {
        if (self) self->controllerChanged();
    });
}

LiveSession::~LiveSession() {
    controller_->setOnChange({});
    // Closing the window with a session going stops capture; nothing is written.
    controller_->discard();
}

QString LiveSession::label() const {
    return QString::fromStdString(controller_->label());
}

void LiveSession::setLabel(const QString& label) {
    controller_->setLabel(label.toStdString());
    controllerChanged();
}

QString LiveSession::state() const {
    return stateName(controller_->state().kind);
}

QString LiveSession::message() const {
    return QString::fromStdString(controller_->state().message);
}

QString LiveSession::serviceID() const {
    return QString::fromStdString(controller_->serviceID());
}

QString LiveSession::sourceTitle() const {
    return QString::fromStdString(controller_->source().title());
}

void LiveSession::start() {
    if (!host()) return;
    controller_->start(*this);
}

void LiveSession::finish(const QString& label) {
    // A discarded session stays discarded: what it saw is not saved after all.
    if (!host() || discarded_) return;
    controller_->finish(*this, label.toStdString());
}

void LiveSession::discard() {
    discarded_ = true;
    controller_->discard();
    if (host() && host()->live() == this) host()->setLive(nullptr);
}

// ---- LiveHost

FaceEngine* LiveSession::engine() {
    return host() ? host()->engine().get() : nullptr;
}

std::optional<std::string> LiveSession::engineError() {
    return host() ? host()->engineError() : std::nullopt;
}

bool LiveSession::engineLoading() {
    return host() && !host()->engine() && !host()->engineError();
}

std::vector<Member> LiveSession::members() {
    return host() ? host()->memberRecords() : std::vector<Member>{};
}

Library& LiveSession::library() {
    // The host is this object's parent, so it is here whenever the controller asks.
    return host()->writableLibrary();
}

void LiveSession::liveFinished(const Service& service) {
    if (host()) {
        host()->insertService(service);
        if (host()->live() == this) host()->setLive(nullptr);
    }
    Q_EMIT finished(QString::fromStdString(service.id));
}

// ---- Changes

QString LiveSession::memberName(const std::string& id) const {
    if (!host() || id.empty()) return {};
    const Member* member = host()->findMember(id);
    return member ? QString::fromStdString(member->name) : QString();
}

void LiveSession::controllerChanged() {
    const LiveController& live = *controller_;
    if (live.label() != label_) {
        label_ = live.label();
        Q_EMIT labelChanged();
    }
    if (!(live.state() == state_)) {
        state_ = live.state();
        Q_EMIT stateChanged();
    }
    if (live.faces() != lastFaces_ || !(live.frameSize() == lastSize_) ||
        live.analysedFPS() != lastFPS_) {
        lastFPS_ = live.analysedFPS();
        lastFaces_ = live.faces();
        lastSize_ = live.frameSize();
        faces_.clear();
        for (const LiveFace& face : lastFaces_) {
            const std::string id = face.memberID.value_or("");
            faces_.append(QVariantMap{
                {"box", QVariantList{face.box.x1, face.box.y1, face.box.x2, face.box.y2}},
                {"memberID", QString::fromStdString(id)},
                {"trackID", face.id},
                {"name", memberName(id)}});
        }
        Q_EMIT facesChanged();
    }
    if (live.presence() != lastPresence_) {
        lastPresence_ = live.presence();
        presence_.clear();
        for (const LivePresence& present : lastPresence_)
            presence_.append(QVariantMap{{"memberID", QString::fromStdString(present.memberID)},
                                         {"firstSeen", present.firstSeen},
                                         {"name", memberName(present.memberID)}});
        Q_EMIT presenceChanged();
    }
    if (live.elapsed() != lastElapsed_) {
        lastElapsed_ = live.elapsed();
        Q_EMIT elapsedChanged();
    }
}

QVariantList LiveSession::cameras() {
    QVariantList cameras;
    for (const CameraInfo& camera : tallymere::availableCameras())
        cameras.append(QVariantMap{{"id", QString::fromStdString(camera.id)},
                                   {"name", QString::fromStdString(camera.name)},
                                   {"path", QString::fromStdString(camera.path)}});
    return cameras;
}

} // namespace tallymere
