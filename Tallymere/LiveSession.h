#pragma once

#include "runs/LiveController.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallymere {

class FaceEngine;

// What a live session needs of the application: the engine, the members and the library, a
// place for the finished service, and the slot that shows the current session. The window's
// model is one; the session never outlives it (it is the session's parent).
class LiveSessionHost {
public:
    virtual ~LiveSessionHost() = default;
    virtual std::shared_ptr<FaceEngine> engine() const = 0;
    virtual const std::optional<std::string>& engineError() const = 0;
    virtual const std::vector<Member>& memberRecords() const = 0;
    virtual const Member* findMember(const std::string& id) const = 0;
    virtual Library& writableLibrary() = 0;
    virtual bool insertService(const Service& service) = 0;
    virtual QObject* live() const = 0;
    virtual void setLive(QObject* controller) = 0;
};

// One live session as the window sees it (`appModel.live`): the live controller, with its shown
// fields as properties and its changes as signals. The controller reaches the application through
// this object: the model's engine, members and library, and the model's services once saved.
class LiveSession : public QObject, private LiveHost {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Live sessions are made by AppModel.startLive.")

    // The label of the service to be saved.
    Q_PROPERTY(QString label READ label WRITE setLabel NOTIFY labelChanged)
    // "idle", "starting", "running", "finishing" or "failed".
    Q_PROPERTY(QString state READ state NOTIFY stateChanged)
    // Why the session failed; "" otherwise.
    Q_PROPERTY(QString message READ message NOTIFY stateChanged)
    // Faces of the most recently analysed frame: {box: [x1, y1, x2, y2] in its pixels, memberID
    // ("" for someone not recognised), name (the member's name, or "")}.
    Q_PROPERTY(QVariantList faces READ faces NOTIFY facesChanged)
    // Pixel size of the most recently analysed frame (16 by 9 before the first).
    Q_PROPERTY(double frameWidth READ frameWidth NOTIFY facesChanged)
    Q_PROPERTY(double frameHeight READ frameHeight NOTIFY facesChanged)
    Q_PROPERTY(double analysedFPS READ analysedFPS NOTIFY facesChanged)
    // Members recognised so far: {memberID, firstSeen (seconds), name}.
    Q_PROPERTY(QVariantList presence READ presence NOTIFY presenceChanged)
    // Seconds since capture started.
    Q_PROPERTY(double elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(QString serviceID READ serviceID CONSTANT)
    // The camera's name, or the stream's host (or file name).
    Q_PROPERTY(QString sourceTitle READ sourceTitle CONSTANT)
    Q_PROPERTY(bool camera READ isCamera CONSTANT)

public:
    // `owner` is the host as a QObject, the session's parent.
    LiveSession(QObject& owner, LiveSessionHost& host, LiveSourceKind source,
                std::string serviceID);
    ~LiveSession() override;

    // The video capture devices a session can take pictures from: {id, name, path}.
    static QVariantList cameras();

    QString label() const;
    void setLabel(const QString& label);
    QString state() const;
    QString message() const;
    QVariantList faces() const { return faces_; }
    double frameWidth() const { return controller_->frameSize().width; }
    double frameHeight() const { return controller_->frameSize().height; }
    double analysedFPS() const { return controller_->analysedFPS(); }
    QVariantList presence() const { return presence_; }
    double elapsed() const { return controller_->elapsed(); }
    QString serviceID() const;
    QString sourceTitle() const;
    bool isCamera() const { return controller_->source().isCamera(); }

    LiveController& controller() { return *controller_; }
    const LiveController& controller() const { return *controller_; }

    // Starts capture once the engine has loaded (only an idle session that never ran starts).
    Q_INVOKABLE void start();
    // Stops capture and saves the session under this label as a finished service at the front
    // of the services; the state is "idle" once saved (then `finished` is signalled).
    Q_INVOKABLE void finish(const QString& label);
    // Stops capture; nothing is written. The model lets the session go.
    Q_INVOKABLE void discard();

Q_SIGNALS:
    void labelChanged();
    void stateChanged();
    void facesChanged();
    void presenceChanged();
    void elapsedChanged();
    // The session was saved as the service with this id.
    void finished(const QString& serviceID);

private:
    // LiveHost, through the application's model.
    FaceEngine* engine() override;
    std::optional<std::string> engineError() override;
    bool engineLoading() override;
    std::vector<Member> members() override;
    Library& library() override;
    void liveFinished(const Service& service) override;

    // Turns the controller's changes into the signals of what changed.
    void controllerChanged();
    QString memberName(const std::string& id) const;

    // The host while its object lives, else nothing.
    LiveSessionHost* host() const { return owner_ ? host_ : nullptr; }

    QPointer<QObject> owner_;
    LiveSessionHost* host_;
    bool discarded_ = false;
    std::shared_ptr<LiveController> controller_;
    // What was last announced, to signal only what changed.
    std::string label_;
    LiveController::State state_;
    std::vector<LiveFace> lastFaces_;
    LiveController::Size lastSize_;
    std::vector<LivePresence> lastPresence_;
    double lastElapsed_ = 0;
    double lastFPS_ = 0;
    QVariantList faces_;
    QVariantList presence_;
};

} // namespace tallymere
