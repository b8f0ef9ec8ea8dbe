#include "Notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QVariantMap>

namespace tallymere {

namespace {

const char* const service = "org.freedesktop.Notifications";
const char* const path = "/org/freedesktop/Notifications";
const char* const interface = "org.freedesktop.Notifications";

} // namespace

Notifier::Notifier(QObject* parent) : QObject(parent) {
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(application, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) {
                    if (state == Qt::ApplicationActive) clear();
                });
}

void Notifier::setWindow(QWindow* window) {
    if (window_) disconnect(window_, nullptr, this, nullptr);
    window_ = window;
    if (window)
        connect(window, &QWindow::activeChanged, this, [this] {
            if (window_ && window_->isActive()) clear();
        });
}

bool Notifier::applicationActive() const {
    if (window_) return window_->isActive();
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void Notifier::notifyDone(const QString& serviceLabel) {
    if (applicationActive()) {
        clear();
        return;
    }
    if (window_) window_->alert(0); // until the window is activated
    if (!attention_) {
        attention_ = true;
        Q_EMIT attentionChanged();
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage notify = QDBusMessage::createMethodCall(service, path, interface, "Notify");
    notify << QStringLiteral("Tallymere") << notificationID_ << QStringLiteral("tallymere")
           << QString::fromUtf8(title) << serviceLabel << QStringList()
           << QVariantMap{{"desktop-entry", QStringLiteral("tallymere")}} << -1;
    // Asynchronous: a session without a notification service answers with an error, ignored.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                QDBusPendingReply<uint> reply = *call;
                if (reply.isValid() && attention_) notificationID_ = reply.value();
                call->deleteLater();
            });
}

void Notifier::clear() {
    if (notificationID_ != 0) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (bus.isConnected()) {
            QDBusMessage close =
                QDBusMessage::createMethodCall(service, path, interface, "CloseNotification");
            close << notificationID_;
            bus.call(close, QDBus::NoBlock);
        }
        notificationID_ = 0;
    }
    if (attention_) {
        attention_ = false;
        Q_EMIT attentionChanged();
    }
}

} // namespace tallymere
