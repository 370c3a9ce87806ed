#include "nowplaying/NowPlaying.h"

#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "store/Config.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

namespace shotlark {

const QList<NowPlaying::Player>& NowPlaying::players() {
    static const QList<Player> table = {
        {QStringLiteral("Spotify"), {QStringLiteral("org.mpris.MediaPlayer2.spotify")}},
        // Apple Music has no Linux client of its own; these are the ones people use.
        {QStringLiteral("Apple Music"),
         {QStringLiteral("org.mpris.MediaPlayer2.cider"),
          QStringLiteral("org.mpris.MediaPlayer2.Cider"),
          QStringLiteral("org.mpris.MediaPlayer2.AppleMusic")}},
    };
    return table;
}

NowPlaying::NowPlaying(platform::MediaPlayers& media) : media_(media) {
    timer_.setInterval(15000);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

bool NowPlaying::isEnabled() {
    const Config& config = Config::shared();
    return config.boolValue(keys::shareNowPlaying) && config.isConfigured() &&
           ServerInfo::shared().isEnabled(features::appPresence);
}

void NowPlaying::start() {
    started_ = true;
    connect(&Config::shared(), &Config::changed, this, [this](const QString& key) {
        if (key == keys::shareNowPlaying || key == keys::server || key == Config::tokenKey)
            reconsider();
    });
    connect(&ServerInfo::shared(), &ServerInfo::changed, this, [this] { reconsider(); });
    reconsider();
}

void NowPlaying::reconsider() {
    if (isEnabled()) {
        if (!timer_.isActive()) {
            timer_.start();
            tick(); // the first report does not wait 15 seconds
        }
        return;
    }
    // Switched off: one last poll reports "playing": false if a track was reported.
    timer_.stop();
    if (last_)
        tick();
}

QCoro::Task<> NowPlaying::tick() {
    if (ticking_)
        co_return;
    ticking_ = true;
    QPointer<NowPlaying> self(this);
    if (!isEnabled()) {
        if (last_)
            send(std::nullopt);
        ticking_ = false;
        co_return;
    }
    auto asking = current();
    const std::optional<Track> now = co_await std::move(asking);
    if (!self)
        co_return;
    ticking_ = false;
    if (!isEnabled()) {
        // Switched off while the players were asked: what was reported must not stay.
        if (last_)
            send(std::nullopt);
        co_return;
    }
    if (now != last_)
        send(now);
    else if (now && lastSent_.msecsTo(clock_()) > 60000)
        send(now); // the same track again, once a minute while it plays
}

QCoro::Task<std::optional<NowPlaying::Track>> NowPlaying::current() {
    for (const Player& player : players()) {
        for (const QString& busName : player.busNames) {
            auto asking = media_.playing(busName);
            const std::optional<platform::PlayingTrack> playing = co_await std::move(asking);
            if (playing)
                co_return Track{playing->title, playing->artist, playing->album, player.source};
        }
    }
    co_return std::nullopt;
}

void NowPlaying::send(const std::optional<Track>& track) {
    // Both set first: a report that can't be sent still counts for the change and minute rules.
    last_ = track;
    lastSent_ = clock_();
    const auto base = Uploader::serverURL(Config::shared().server());
    if (!base)
        return;
    QJsonObject body{{QStringLiteral("playing"), track.has_value()}};
    if (track) {
        body.insert(QStringLiteral("title"), track->title);
        body.insert(QStringLiteral("artist"), track->artist);
        body.insert(QStringLiteral("album"), track->album);
        body.insert(QStringLiteral("source"), track->source);
    }
    HttpRequest request;
    request.url = Uploader::endpoint(*base, QStringLiteral("api/me/now-playing"));
    request.method = "POST";
    request.headers = {{"Authorization", "Bearer " + Config::shared().token().toUtf8()},
                       {"Content-Type", "application/json"}};
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    // The answer is not read; failures wait for the next change or minute.
    [](HttpRequest sending) -> QCoro::Task<> {
        try {
            auto posting = HttpClient::shared().send(std::move(sending));
            co_await std::move(posting);
        } catch (...) {
        }
    }(std::move(request));
}

} // namespace shotlark
