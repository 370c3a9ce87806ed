#include "platform/wayland/PortalRequest.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QRandomGenerator>

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

} // namespace shotlark::platform::wayland
