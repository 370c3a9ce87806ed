#include "platform/wayland/PermissionStore.h"

#include "platform/wayland/PortalRequest.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QGuiApplication>
#include <QMap>

namespace shotlark::platform::wayland {

namespace {

const QString storeService = QStringLiteral("org.freedesktop.impl.portal.PermissionStore");
const QString storePath = QStringLiteral("/org/freedesktop/impl/portal/PermissionStore");
const QString table = QStringLiteral("screenshot");

QDBusMessage storeCall(const QString& method) {
    return QDBusMessage::createMethodCall(storeService, storePath, storeService, method);
}

} // namespace

std::unique_ptr<PermissionStoreScreenshots> PermissionStoreScreenshots::forThisDesktop() {
    if (!onDesktop(QStringLiteral("GNOME")) ||
        !QGuiApplication::platformName().startsWith(QStringLiteral("wayland")))
        return nullptr;
    return std::make_unique<PermissionStoreScreenshots>();
}

QCoro::Task<ScreenshotPermission::State> PermissionStoreScreenshots::state() {
    QDBusMessage lookup = storeCall(QStringLiteral("Lookup"));
    lookup << table << table;
    QDBusPendingCall asking = QDBusConnection::sessionBus().asyncCall(lookup, 5000);
    const QDBusMessage answer = co_await asking;
    // No entry yet ("NotFound"), or no store to ask: the portal will ask itself.
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        co_return State::Unasked;
    QMap<QString, QStringList> permissions;
    qvariant_cast<QDBusArgument>(answer.arguments().front()) >> permissions;
    const auto found = permissions.constFind(QString());
    if (found == permissions.cend() || found->isEmpty())
        co_return State::Unasked;
    co_return found->contains(QStringLiteral("yes")) ? State::Granted : State::Denied;
}

QCoro::Task<bool> PermissionStoreScreenshots::grant() {
    QDBusMessage set = storeCall(QStringLiteral("SetPermission"));
    set << table << true << table << QString() << QStringList{QStringLiteral("yes")};
    QDBusPendingCall setting = QDBusConnection::sessionBus().asyncCall(set, 5000);
    const QDBusMessage answer = co_await setting;
    co_return answer.type() == QDBusMessage::ReplyMessage;
}

} // namespace shotlark::platform::wayland
