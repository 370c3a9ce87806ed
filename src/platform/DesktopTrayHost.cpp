#include "platform/LinuxBackends.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <memory>

namespace shotlark::platform {

namespace {

// An X11 system tray (XEmbed) owns the selection _NET_SYSTEM_TRAY_S<screen>.
bool x11TrayPresent() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    const QByteArray name = "_NET_SYSTEM_TRAY_S0";
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
        xcb_intern_atom_reply(connection,
                              xcb_intern_atom(connection, 1, uint16_t(name.size()), name.data()),
                              nullptr),
        &std::free);
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return false;
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom),
                                      nullptr),
        &std::free);
    return owner && owner->owner != XCB_NONE;
}

} // namespace

QCoro::Task<bool> DesktopTrayHost::present() {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    ask << QStringLiteral("org.kde.StatusNotifierWatcher")
        << QStringLiteral("IsStatusNotifierHostRegistered");
    QDBusPendingCall asking = QDBusConnection::sessionBus().asyncCall(ask, 5000);
    const QDBusMessage answer = co_await asking;
    if (answer.type() == QDBusMessage::ReplyMessage && !answer.arguments().isEmpty() &&
        qvariant_cast<QDBusVariant>(answer.arguments().front()).variant().toBool())
        co_return true;
    co_return QGuiApplication::platformName() == QStringLiteral("xcb") && x11TrayPresent();
}

} // namespace shotlark::platform
