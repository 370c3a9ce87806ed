#include "platform/wayland/PortalScreenCast.h"

#include "platform/wayland/PortalRequest.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QScreen>

#include <fcntl.h>
#include <unistd.h>

namespace shotlark::platform::wayland {

namespace {

const QString screenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");

// The portal's source types and cursor modes (bit masks).
constexpr uint monitorSource = 1, windowSource = 2;
constexpr uint hiddenCursor = 1, embeddedCursor = 2;

void closeSession(const QString& session) {
    QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(portalService, session,
                                       QStringLiteral("org.freedesktop.portal.Session"),
                                       QStringLiteral("Close")),
        QDBus::NoBlock);
}

// One started session: its PipeWire connection and the stream in it. Closing the session
// ends the stream.
class PortalScreenCast : public ScreenCast {
public:
    PortalScreenCast(QString session, int fd, quint32 node, QSize size, QRect placement,
                     bool window, PipeWireSourceMaker maker)
        : session_(std::move(session)), fd_(fd), node_(node), size_(size), placement_(placement),
          window_(window), maker_(std::move(maker)) {}
    ~PortalScreenCast() override {
        ::close(fd_);
        closeSession(session_);
    }

    QSize size() const override { return size_; }
    QRect placement() const override { return placement_; }
    bool isWindow() const override { return window_; }

    std::unique_ptr<FrameSource> frameSource() override {
        const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            throw Error(QStringLiteral("Couldn't open the screen stream"));
        return maker_(fd, node_, size_);
    }

private:
    const QString session_;
    const int fd_;
    const quint32 node_;
    const QSize size_;
    const QRect placement_;
    const bool window_;
    const PipeWireSourceMaker maker_;
};

// A uint property of the ScreenCast portal; nullopt when the portal doesn't answer.
QCoro::Task<std::optional<uint>> property(QString name) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << screenCastInterface << name;
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(get);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return std::nullopt;
    co_return qvariant_cast<QDBusVariant>(reply.arguments().front()).variant().toUInt();
}

struct Stream {
    quint32 node = 0;
    QSize size;
    std::optional<QPoint> position;
    uint type = 1; // monitor 1, window 2, virtual 4
};

// An (ii) pair.
std::optional<QPoint> pair(const QVariant& value) {
    if (!value.canConvert<QDBusArgument>())
        return std::nullopt;
    const QDBusArgument argument = qvariant_cast<QDBusArgument>(value);
    int first = 0, second = 0;
    argument.beginStructure();
    argument >> first >> second;
    argument.endStructure();
    return QPoint(first, second);
}

// The first of Start's "streams" (a(ua{sv})).
std::optional<Stream> firstStream(const QVariant& streams) {
    if (!streams.canConvert<QDBusArgument>())
        return std::nullopt;
    const QDBusArgument list = qvariant_cast<QDBusArgument>(streams);
    std::optional<Stream> first;
    list.beginArray();
    while (!list.atEnd()) {
        Stream stream;
        QVariantMap properties;
        list.beginStructure();
        list >> stream.node >> properties;
        list.endStructure();
        if (const std::optional<QPoint> size = pair(properties.value(QStringLiteral("size"))))
            stream.size = QSize(size->x(), size->y());
        stream.position = pair(properties.value(QStringLiteral("position")));
        if (properties.contains(QStringLiteral("source_type")))
            stream.type = properties.value(QStringLiteral("source_type")).toUInt();
        if (!first)
            first = stream;
    }
    list.endArray();
    return first;
}

Error failed(const PortalAnswer& answer, const char* step) {
    return Error(QStringLiteral("The desktop's screen cast portal failed (%1%2)")
                     .arg(QLatin1String(step), answer.error.isEmpty()
                                                   ? QString()
                                                   : QStringLiteral(": ") + answer.error));
}

} // namespace

QCoro::Task<ScreenCastChoice> openScreenCast(QString restoreToken, PipeWireSourceMaker maker) {
    // Asked without blocking: the portal may be slow to start, and the tray must stay alive.
    auto asking = property(QStringLiteral("version"));
    const std::optional<uint> version = co_await std::move(asking);
    if (!version)
        throw NoScreenCastPortal(QStringLiteral("No ScreenCast portal"));
    auto askingSources = property(QStringLiteral("AvailableSourceTypes"));
    const std::optional<uint> sources = co_await std::move(askingSources);
    auto askingCursors = property(QStringLiteral("AvailableCursorModes"));
    const std::optional<uint> cursors = co_await std::move(askingCursors);

    const QString token = newRequestToken();
    auto creating =
        portalRequest(screenCastInterface, QStringLiteral("CreateSession"),
                      {QVariantMap{{QStringLiteral("handle_token"), token},
                                   {QStringLiteral("session_handle_token"), newRequestToken()}}},
                      token);
    const PortalAnswer creation = co_await std::move(creating);
    const QString session = creation.sessionHandle();
    if (creation.code != 0 || session.isEmpty())
        throw failed(creation, "CreateSession");
    // From here on the session is closed on every way out but success.
    struct Closer {
        QString session;
        ~Closer() {
            if (!session.isEmpty())
                closeSession(session);
        }
    } closer{session};

    const QDBusObjectPath sessionPath(session);
    uint types = sources.value_or(monitorSource) & (monitorSource | windowSource);
    if (types == 0)
        types = monitorSource;
    QVariantMap select{{QStringLiteral("handle_token"), newRequestToken()},
                       {QStringLiteral("types"), types},
                       {QStringLiteral("multiple"), false},
                       {QStringLiteral("cursor_mode"),
                        (cursors.value_or(0) & embeddedCursor) ? embeddedCursor : hiddenCursor}};
    if (*version >= 4) {
        select.insert(QStringLiteral("persist_mode"), 2u); // until the user revokes it
        if (!restoreToken.isEmpty())
            select.insert(QStringLiteral("restore_token"), restoreToken);
    }
    const QString selectToken = select.value(QStringLiteral("handle_token")).toString();
    auto selecting = portalRequest(screenCastInterface, QStringLiteral("SelectSources"),
                                   {QVariant::fromValue(sessionPath), select}, selectToken);
    const PortalAnswer selection = co_await std::move(selecting);
    if (selection.code == 1)
        co_return ScreenCastChoice{};
    if (selection.code != 0)
        throw failed(selection, "SelectSources");

    const QString startToken = newRequestToken();
    auto starting = portalRequest(screenCastInterface, QStringLiteral("Start"),
                                  {QVariant::fromValue(sessionPath), QString(),
                                   QVariantMap{{QStringLiteral("handle_token"), startToken}}},
                                  startToken);
    const PortalAnswer start = co_await std::move(starting);
    if (start.code == 1)
        co_return ScreenCastChoice{}; // the user closed the desktop's dialog
    if (start.code != 0)
        throw failed(start, "Start");
    const std::optional<Stream> stream =
        firstStream(start.results.value(QStringLiteral("streams")));
    if (!stream)
        throw Error(QStringLiteral("The desktop started no screen stream"));

    QDBusMessage open = QDBusMessage::createMethodCall(
        portalService, portalPath, screenCastInterface, QStringLiteral("OpenPipeWireRemote"));
    open << QVariant::fromValue(sessionPath) << QVariantMap();
    QDBusPendingCall opening = QDBusConnection::sessionBus().asyncCall(open);
    const QDBusMessage remote = co_await opening;
    if (remote.type() != QDBusMessage::ReplyMessage || remote.arguments().isEmpty())
        throw Error(QStringLiteral("The desktop didn't open the screen stream (%1)")
                        .arg(remote.errorMessage()));
    const QDBusUnixFileDescriptor descriptor =
        qvariant_cast<QDBusUnixFileDescriptor>(remote.arguments().front());
    const int fd =
        descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0)
        throw Error(QStringLiteral("The desktop didn't open the screen stream"));

    // Without a size from the desktop, the screen's is the best guess; frames of another size
    // are scaled to it.
    QSize size = stream->size;
    if (size.isEmpty()) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        size = screen ? (QSizeF(screen->size()) * screen->devicePixelRatio()).toSize()
                      : QSize(1920, 1080);
    }
    ScreenCastChoice choice;
    const bool window = stream->type == windowSource;
    const QRect placement = !window && stream->position && !stream->size.isEmpty()
                                ? QRect(*stream->position, stream->size)
                                : QRect();
    choice.cast =
        std::make_shared<PortalScreenCast>(std::exchange(closer.session, QString()), fd,
                                           stream->node, size, placement, window, std::move(maker));
    choice.restoreToken = start.results.value(QStringLiteral("restore_token")).toString();
    co_return choice;
}

} // namespace shotlark::platform::wayland
