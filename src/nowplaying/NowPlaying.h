#pragma once

#include "platform/Services.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

namespace shotlark {

// Tells the server which track is playing (Spotify first, then an Apple Music client), while
// the user allows it and the server offers "app_presence": at once when the track changes,
// again each minute while it plays, and once {"playing": false} when it stops. Polls every
// 15 seconds only while enabled: an idle app with the switch off never wakes up for it.
class NowPlaying : public QObject {
public:
    struct Track {
        QString title;
        QString artist;
        QString album;
        QString source; // "Spotify" or "Apple Music"
        bool operator==(const Track&) const = default;
    };

    struct Player {
        QString source;
        QStringList busNames; // MPRIS names of the clients that play it
    };
    // In the order they are asked; the first one playing wins.
    static const QList<Player>& players();

    explicit NowPlaying(platform::MediaPlayers& media);

    // Follows the switch, the connection and the server's features from now on.
    void start();
    bool isPolling() const { return timer_.isActive(); }
    // For tests: the clock the one-minute rule reads.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    // One poll; public for tests. Polls do not overlap: one asked while another runs is skipped.
    QCoro::Task<> tick();

    static bool isEnabled();

private:
    void reconsider();
    QCoro::Task<std::optional<Track>> current();
    void send(const std::optional<Track>& track);

    platform::MediaPlayers& media_;
    QTimer timer_;
    std::optional<Track> last_;
    QDateTime lastSent_;
    bool ticking_ = false;
    bool started_ = false;
    std::function<QDateTime()> clock_ = [] {
        return QDateTime::currentDateTimeUtc();
    };
};

} // namespace shotlark
