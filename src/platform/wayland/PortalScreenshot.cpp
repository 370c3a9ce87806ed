#include "PortalScreenshot.h"

#include "PortalRequest.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

namespace shotlark::platform::wayland {

namespace {

const QString screenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");

} // namespace

PortalShot takePortalScreenshot() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return {{}, true, QStringLiteral("the session bus can't be reached")};
    // The request's path is known before the call, so its answer can't be missed.
    const QString token = newRequestToken();
    const QString expected = requestPath(bus, token);
    PortalResponse response;
    QEventLoop loop;
    QObject::connect(&response, &PortalResponse::done, &loop, &QEventLoop::quit);
    if (!response.listen(bus, expected))
        return {{}, false, QStringLiteral("the screenshot portal can't be asked")};

    QDBusMessage call = QDBusMessage::createMethodCall(
        portalService, portalPath, screenshotInterface, QStringLiteral("Screenshot"));
    call << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("interactive"), false}};
    // KDE's portal saves its picture in the user's Pictures folder, and answers "cancelled"
    // when there is none.
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty())
        QDir().mkpath(pictures);
    const QDBusReply<QDBusObjectPath> handle = bus.call(call, QDBus::Block, 10000);
    if (!handle.isValid())
        return {{},
                true,
                QStringLiteral("the desktop has no screenshot portal (%1)")
                    .arg(handle.error().message())};
    // Portals older than the handle token answer on a path of their own.
    if (handle.value().path() != expected && !response.arrived)
        response.listen(bus, handle.value().path());
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(30000);
    if (!response.arrived)
        loop.exec();
    if (!response.arrived)
        return {{}, false, QStringLiteral("the screenshot portal did not answer")};
    // Nobody was shown a picker to cancel: the desktop itself said no.
    if (response.code == 1)
        return {{},
                false,
                QStringLiteral("the desktop's screenshot portal declined to take the picture "
                               "(screenshots not allowed for this app, or no Pictures folder)")};
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
