#include "platform/LinuxBackends.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace shotlark::platform {

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DBusNotifications::DBusNotifications() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                SLOT(actionInvoked(quint32, QString)));
    bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                SLOT(closed(quint32, quint32)));
    // Whether bodies are read as markup decides whether they must be escaped.
    auto* watcher = new QDBusPendingCallWatcher(
        bus.asyncCall(QDBusMessage::createMethodCall(service, path, interface,
                                                     QStringLiteral("GetCapabilities"))),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                QDBusPendingReply<QStringList> reply = *call;
                markup_ = reply.isValid() && reply.value().contains(QStringLiteral("body-markup"));
                call->deleteLater();
            });
}

void DBusNotifications::post(const QString& title, const QString& body,
                             const std::optional<QUrl>& link, const QString& copy) {
    QDBusMessage notify =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    QStringList actions;
    if (link)
        actions << QStringLiteral("default") << QStringLiteral("Open");
    if (!copy.isEmpty())
        actions << QStringLiteral("copy") << QStringLiteral("Copy");
    notify << QStringLiteral("Shotlark") << quint32(0) << QStringLiteral("shotlark") << title
           << (markup_ ? body.toHtmlEscaped() : body) << actions << QVariantMap() << qint32(-1);
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, link, copy](QDBusPendingCallWatcher* call) {
                QDBusPendingReply<quint32> reply = *call;
                if (reply.isValid() && link)
                    links_.insert(reply.value(), *link);
                if (reply.isValid() && !copy.isEmpty())
                    copies_.insert(reply.value(), copy);
                call->deleteLater();
            });
}

void DBusNotifications::actionInvoked(quint32 id, const QString& action) {
    // Signals of other applications' notifications arrive too; only ours are in the tables.
    const auto link = links_.constFind(id);
    if (action == QStringLiteral("default") && link != links_.constEnd())
        Q_EMIT linkActivated(*link);
    const auto copy = copies_.constFind(id);
    if (action == QStringLiteral("copy") && copy != copies_.constEnd())
        Q_EMIT copyRequested(*copy);
}

void DBusNotifications::closed(quint32 id, quint32) {
    links_.remove(id);
    copies_.remove(id);
}

} // namespace shotlark::platform
