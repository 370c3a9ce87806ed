#include "PortalScreenshot.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QScreen>
#include <QTimer>
#include <QUrl>

namespace shotlark::platform::wayland {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");

// Receives the portal's Response for one request.
class Response : public QObject {
    Q_OBJECT
public:
    uint code = 2;
    QVariantMap results;
    bool arrived = false;

public Q_SLOTS:
    void received(uint response, const QVariantMap& values) {
        code = response;
        results = values;
        arrived = true;
        Q_EMIT done();
    }

Q_SIGNALS:
    void done();
};

bool listen(QDBusConnection& bus, const QString& path, Response* response) {
    return bus.connect(portalService, path, QStringLiteral("org.freedesktop.portal.Request"),
                       QStringLiteral("Response"), response, SLOT(received(uint, QVariantMap)));
}

} // namespace

bool hasScreenshotPortal() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(portalService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << screenshotInterface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

PortalShot takePortalScreenshot(bool interactive) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return {{}, false, QStringLiteral("the session bus can't be reached")};
    // The request's path is known before the call, so its answer can't be missed.
    const QString token = QStringLiteral("shotlark%1").arg(QRandomGenerator::global()->generate());
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString expected =
        portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    Response response;
    QEventLoop loop;
    QObject::connect(&response, &Response::done, &loop, &QEventLoop::quit);
    if (!listen(bus, expected, &response))
        return {{}, false, QStringLiteral("the screenshot portal can't be asked")};

    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, screenshotInterface, QStringLiteral("Screenshot"));
    call << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("interactive"), interactive},
                        {QStringLiteral("modal"), interactive}};
    const QDBusReply<QDBusObjectPath> handle = bus.call(call, QDBus::Block, 10000);
    if (!handle.isValid())
        return {{},
                false,
                QStringLiteral("the desktop has no screenshot portal (%1)")
                    .arg(handle.error().message())};
    // Portals older than the handle token answer on a path of their own.
    if (handle.value().path() != expected && !response.arrived)
        listen(bus, handle.value().path(), &response);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!interactive)
        limit.start(30000);
    if (!response.arrived)
        loop.exec();
    if (!response.arrived)
        return {{}, false, QStringLiteral("the screenshot portal did not answer")};
    if (response.code == 1)
        return {{}, true, {}};
    if (response.code != 0)
        return {{}, false, QStringLiteral("the screenshot portal refused (%1)").arg(response.code)};
    const QString file =
        QUrl(response.results.value(QStringLiteral("uri")).toString()).toLocalFile();
    QImage image(file);
    if (image.isNull())
        return {{}, false, QStringLiteral("the screenshot portal's picture can't be read")};
    QFile::remove(file);
    return {image, false, {}};
}

bool desktopPicksRegions() {
    const QStringList desktops =
        qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return desktops.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive) ||
           desktops.contains(QStringLiteral("KDE"), Qt::CaseInsensitive);
}

QList<QImage> splitByScreen(const QImage& desktop) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    QRect bounds;
    for (const QScreen* screen : screens)
        bounds = bounds.united(screen->geometry());
    if (screens.size() <= 1 || bounds.isEmpty())
        return {desktop};
    // The picture is in device pixels, the layout in logical ones.
    const qreal scale = qreal(desktop.width()) / bounds.width();
    QList<QImage> parts;
    for (const QScreen* screen : screens) {
        const QRect logical = screen->geometry().translated(-bounds.topLeft());
        const QRect pixels(qRound(logical.x() * scale), qRound(logical.y() * scale),
                           qRound(logical.width() * scale), qRound(logical.height() * scale));
        parts.append(desktop.copy(pixels.intersected(desktop.rect())));
    }
    return parts;
}

} // namespace shotlark::platform::wayland

#include "PortalScreenshot.moc"
