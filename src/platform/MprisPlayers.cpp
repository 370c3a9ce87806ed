#include "platform/LinuxBackends.h"

#include <QCoro/QCoroSignal>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

#include <memory>

namespace shotlark::platform {

namespace {

// A player that takes longer than this counts as not playing; the main thread never waits.
constexpr int answerMs = 1500;

QCoro::Task<QDBusMessage> ask(QDBusMessage message) {
    auto watcher = std::make_unique<QDBusPendingCallWatcher>(
        QDBusConnection::sessionBus().asyncCall(message, answerMs));
    auto answered = qCoro(watcher.get(), &QDBusPendingCallWatcher::finished);
    co_await std::move(answered);
    co_return watcher->reply();
}

// A D-Bus value as a plain QVariant (dictionaries and structures arrive marshalled).
QVariant plain(const QVariant& value) {
    if (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    return value;
}

std::optional<QVariantMap> dictionary(const QVariant& value) {
    const QVariant inner = plain(value);
    if (inner.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = inner.value<QDBusArgument>();
        if (argument.currentType() != QDBusArgument::MapType)
            return std::nullopt;
        QVariantMap map;
        argument >> map;
        return map;
    }
    if (inner.userType() == QMetaType::QVariantMap)
        return inner.toMap();
    return std::nullopt;
}

} // namespace

QCoro::Task<std::optional<PlayingTrack>> MprisPlayers::playing(QString busName) {
    // Asked only when someone owns the name: asking by name would start an activatable player.
    QDBusMessage owned = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    owned << busName;
    auto asking = ask(owned);
    const QDBusMessage ownedReply = co_await std::move(asking);
    if (ownedReply.type() != QDBusMessage::ReplyMessage ||
        ownedReply.arguments().value(0).toBool() != true)
        co_return std::nullopt;

    QDBusMessage all = QDBusMessage::createMethodCall(
        busName, QStringLiteral("/org/mpris/MediaPlayer2"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    all << QStringLiteral("org.mpris.MediaPlayer2.Player");
    all.setAutoStartService(false);
    auto getting = ask(all);
    const QDBusMessage reply = co_await std::move(getting);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        co_return std::nullopt;
    const std::optional<QVariantMap> properties = dictionary(reply.arguments().front());
    if (!properties)
        co_return std::nullopt;
    // "Paused" and "Stopped" are not playing.
    if (plain(properties->value(QStringLiteral("PlaybackStatus"))).toString() !=
        QStringLiteral("Playing"))
        co_return std::nullopt;
    const std::optional<QVariantMap> metadata =
        dictionary(properties->value(QStringLiteral("Metadata")));
    if (!metadata)
        co_return std::nullopt;
    const QVariant title = plain(metadata->value(QStringLiteral("xesam:title")));
    if (title.userType() != QMetaType::QString || title.toString().isEmpty())
        co_return std::nullopt;
    PlayingTrack track;
    track.title = title.toString();
    const QVariant artist = plain(metadata->value(QStringLiteral("xesam:artist")));
    if (artist.userType() == QMetaType::QStringList)
        track.artist = artist.toStringList().join(QStringLiteral(", "));
    else if (artist.userType() == QMetaType::QString)
        track.artist = artist.toString();
    const QVariant album = plain(metadata->value(QStringLiteral("xesam:album")));
    if (album.userType() == QMetaType::QString)
        track.album = album.toString();
    co_return track;
}

} // namespace shotlark::platform
