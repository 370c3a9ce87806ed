#include "platform/wayland/PortalRequest.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroSignal>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QRandomGenerator>

#include <memory>

namespace shotlark::platform::wayland {

bool PortalResponse::listen(QDBusConnection& bus, const QString& requestPath) {
    return bus.connect(portalService, requestPath, QStringLiteral("org.freedesktop.portal.Request"),
                       QStringLiteral("Response"), this, SLOT(received(uint, QVariantMap)));
}

void PortalResponse::received(uint response, const QVariantMap& values) {
    if (std::exchange(arrived, true))
        return;
    code = response;
    results = values;
    Q_EMIT done();
}

QString newRequestToken() {
    return QStringLiteral("shotlark%1").arg(QRandomGenerator::global()->generate());
}

QString requestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

QString PortalAnswer::sessionHandle() const {
    const QVariant handle = results.value(QStringLiteral("session_handle"));
    return handle.canConvert<QDBusObjectPath>() ? qvariant_cast<QDBusObjectPath>(handle).path()
                                                : handle.toString();
}

QCoro::Task<PortalAnswer> portalRequest(QString interface, QString method, QVariantList arguments,
                                        QString token) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto response = std::make_unique<PortalResponse>();
    const QString expected = requestPath(bus, token);
    response->listen(bus, expected);
    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, interface, method);
    call.setArguments(arguments);
    QDBusPendingCall pending = bus.asyncCall(call);
    const QDBusMessage reply = co_await pending;
    PortalAnswer answer;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        answer.error = reply.type() == QDBusMessage::ErrorMessage
                           ? reply.errorName()
                           : QStringLiteral("org.freedesktop.DBus.Error.Failed");
        co_return answer;
    }
    // Portals older than the handle token answer on a path of their own.
    const QString path = qvariant_cast<QDBusObjectPath>(reply.arguments().front()).path();
    if (path != expected)
        response->listen(bus, path);
    // A portal that goes away (it crashed, the session ends) never answers: that is a failure,
    // not a wait without end.
    QDBusServiceWatcher gone(portalService, bus, QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, response.get(),
                     [answering = response.get()] { answering->received(2, {}); });
    if (!response->arrived) {
        auto done = qCoro(response.get(), &PortalResponse::done);
        co_await std::move(done);
    }
    answer.code = response->code;
    answer.results = response->results;
    co_return answer;
}

bool offersPortal(const QString& interface) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(portalService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << interface << QStringLiteral("version");
    return bus.call(get, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

bool onDesktop(const QString& desktop) {
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP")
        .split(QLatin1Char(':'))
        .contains(desktop, Qt::CaseInsensitive);
}

} // namespace shotlark::platform::wayland
