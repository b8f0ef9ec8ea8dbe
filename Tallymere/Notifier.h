#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWindow>
#include <QtQml/qqmlregistration.h>

namespace tallymere {

// Tells the user that attendance is ready while they are working elsewhere: the window asks for
// attention, and the desktop shows a notification through the freedesktop notification service
// when the session has one. Becoming the active application again clears both. Nothing fails
// without a session bus or a notification service.
class Notifier : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The shell makes the notifier.")
    // Whether a notification is outstanding (the stand-in for a badge on the application's icon).
    Q_PROPERTY(bool attention READ attention NOTIFY attentionChanged)

public:
    static constexpr const char* title = "Attendance ready";

    explicit Notifier(QObject* parent = nullptr);

    // The window that asks for attention; its becoming active clears the attention state.
    void setWindow(QWindow* window);
    bool attention() const { return attention_; }
    // The id the notification service gave the last notification, 0 when none was shown.
    uint notificationID() const { return notificationID_; }

    // After a run finished with results, for the service with that label.
    void notifyDone(const QString& serviceLabel);
    // The application became active: the attention state goes.
    void clear();

Q_SIGNALS:
    void attentionChanged();

private:
    bool applicationActive() const;

    QPointer<QWindow> window_;
    bool attention_ = false;
    uint notificationID_ = 0;
};

} // namespace tallymere
