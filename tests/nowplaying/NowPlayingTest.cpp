// The now-playing reporter against test MPRIS players on the private session bus (on a bus
// connection of their own, as another process would be) and a loopback server.
#include "nowplaying/NowPlaying.h"
#include "platform/LinuxBackends.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>

namespace {

// org.mpris.MediaPlayer2.Player's properties, as the test sets them; or no answer at all.
class TestPlayer : public QDBusVirtualObject {
public:
    TestPlayer(const QString& busName, int index) : busName_(busName) {
        connection_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"player-%1"_s.arg(index)));
        connection_->registerVirtualObject(u"/org/mpris/MediaPlayer2"_s, this);
    }
    ~TestPlayer() override {
        leave();
        connection_->unregisterObject(u"/org/mpris/MediaPlayer2"_s);
        QDBusConnection::disconnectFromBus(connection_->name());
    }
    bool join() { return connection_->registerService(busName_); }
    void leave() { connection_->unregisterService(busName_); }

    void play(const QString& title, const QVariant& artist, const QString& album) {
        status = u"Playing"_s;
        metadata = QVariantMap{
            {u"xesam:title"_s, title}, {u"xesam:artist"_s, artist}, {u"xesam:album"_s, album}};
    }

    QString status = u"Stopped"_s;
    QVariant metadata = QVariantMap{};
    bool hangs = false;
    int asked = 0;

    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != u"GetAll"_s)
            return false;
        ++asked;
        if (hangs)
            return true; // never answers
        const QVariantMap properties{
            {u"PlaybackStatus"_s, QVariant::fromValue(QDBusVariant(status))},
            {u"Metadata"_s, QVariant::fromValue(QDBusVariant(metadata))}};
        connection.send(message.createReply(QVariant(properties)));
        return true;
    }

private:
    QString busName_;
    std::unique_ptr<QDBusConnection> connection_;
};

class NowPlayingTest : public testing::Test {
protected:
    void SetUp() override {
        server.on("/api/me/now-playing", {200, "{}"});
        server.on("/api/features", {200, R"({"enabled":["app_presence"]})"});
        Config::shared().setString(keys::server, server.url());
        Config::shared().setToken(u"slk_np"_s);
        Config::shared().setBool(keys::shareNowPlaying, true);
        await(ServerInfo::shared().refresh(true));
        reporter.setClock([this] { return now; });
    }

    QList<QJsonObject> reports() const {
        QList<QJsonObject> bodies;
        for (const RecordedRequest& request : server.requestsTo("/api/me/now-playing"))
            bodies.append(QJsonDocument::fromJson(request.body).object());
        return bodies;
    }

    void poll() {
        await(reporter.tick());
        QTest::qWait(100); // the report is sent in the background
    }

    static QJsonObject playing(const QString& title, const QString& artist, const QString& album,
                               const QString& source) {
        return {{u"playing"_s, true},
                {u"title"_s, title},
                {u"artist"_s, artist},
                {u"album"_s, album},
                {u"source"_s, source}};
    }

    TestHttpServer server;
    platform::MprisPlayers media;
    NowPlaying reporter{media};
    QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
};

} // namespace

TEST_F(NowPlayingTest, ChangesAtOnceTheSameTrackEachMinuteAndOneStop) {
    TestPlayer spotify(u"org.mpris.MediaPlayer2.spotify"_s, 1);
    ASSERT_TRUE(spotify.join());
    spotify.play(u"Song <b>"_s, QStringList{u"A"_s, u"B"_s}, u"Album"_s);
    poll();
    ASSERT_EQ(reports().size(), 1);
    EXPECT_EQ(reports()[0], playing(u"Song <b>"_s, u"A, B"_s, u"Album"_s, u"Spotify"_s));
    const RecordedRequest first = server.requestsTo("/api/me/now-playing").front();
    EXPECT_EQ(first.method, "POST");
    EXPECT_EQ(first.header("Authorization"), "Bearer slk_np");
    EXPECT_EQ(first.header("Content-Type"), "application/json");

    // The same track: again only once more than a minute has passed.
    now = now.addSecs(45);
    poll();
    EXPECT_EQ(reports().size(), 1);
    now = now.addSecs(16);
    poll();
    EXPECT_EQ(reports().size(), 2);

    // A new track at once; paused is not playing: one "playing": false, then nothing.
    spotify.play(u"Next"_s, u"C"_s, QString());
    poll();
    ASSERT_EQ(reports().size(), 3);
    EXPECT_EQ(reports()[2], playing(u"Next"_s, u"C"_s, QString(), u"Spotify"_s));
    spotify.status = u"Paused"_s;
    poll();
    now = now.addSecs(120);
    poll();
    ASSERT_EQ(reports().size(), 4);
    EXPECT_EQ(reports()[3], (QJsonObject{{u"playing"_s, false}}));

    // Switched off while a poll waits for the player: the track it reported does not stay on
    // the server.
    spotify.status = u"Playing"_s;
    poll();
    ASSERT_EQ(reports().size(), 5);
    spotify.hangs = true;
    auto inFlight = reporter.tick();
    Config::shared().setBool(keys::shareNowPlaying, false);
    await(std::move(inFlight));
    QTest::qWait(100);
    ASSERT_EQ(reports().size(), 6);
    EXPECT_EQ(reports()[5], (QJsonObject{{u"playing"_s, false}}));
}

TEST_F(NowPlayingTest, TableOrderGarbageAndPlayersThatHang) {
    TestPlayer cider(u"org.mpris.MediaPlayer2.cider"_s, 2);
    ASSERT_TRUE(cider.join());
    cider.play(u"From Apple"_s, QStringList{u"D"_s}, u"E"_s);
    poll();
    ASSERT_EQ(reports().size(), 1);
    EXPECT_EQ(reports()[0].value(u"source"_s).toString(), u"Apple Music"_s);

    // Both playing: the first in table order wins.
    TestPlayer spotify(u"org.mpris.MediaPlayer2.spotify"_s, 3);
    ASSERT_TRUE(spotify.join());
    spotify.play(u"From Spotify"_s, QStringList{}, QString());
    poll();
    ASSERT_EQ(reports().size(), 2);
    EXPECT_EQ(reports()[1], playing(u"From Spotify"_s, QString(), QString(), u"Spotify"_s));

    // Garbage from Spotify (metadata that is no dictionary, a title that is no string) counts
    // as not playing: the next player's track is reported.
    spotify.metadata = u"not a dictionary"_s;
    poll();
    ASSERT_EQ(reports().size(), 3);
    EXPECT_EQ(reports()[2].value(u"title"_s).toString(), u"From Apple"_s);
    spotify.metadata = QVariantMap{{u"xesam:title"_s, 42}};
    poll();
    EXPECT_EQ(reports().size(), 3) << "unchanged: still the Apple Music track";

    // A player that never answers: the main thread stays free, and the other one is reported.
    spotify.hangs = true;
    int ticks = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
    heartbeat.start(50);
    QElapsedTimer took;
    took.start();
    poll();
    EXPECT_GT(ticks, 10) << "the event loop ran while the player was silent";
    EXPECT_LT(took.elapsed(), 5000);
    EXPECT_EQ(reports().size(), 3);
    EXPECT_EQ(spotify.asked, 4);

    // A player that leaves the bus is not asked again.
    spotify.leave();
    cider.leave();
    poll();
    ASSERT_EQ(reports().size(), 4);
    EXPECT_EQ(reports()[3], (QJsonObject{{u"playing"_s, false}}));
    EXPECT_EQ(spotify.asked, 4);
}
