// What the app reports as playing, as the reference server's user page shows it.
#include "MediaServerFixture.h"
#include "nowplaying/NowPlaying.h"
#include "support/Prelude.h"

namespace {

struct OnePlayer : platform::MediaPlayers {
    QCoro::Task<std::optional<platform::PlayingTrack>> playing(QString busName) override {
        if (busName == u"org.mpris.MediaPlayer2.spotify"_s)
            co_return platform::PlayingTrack{u"<script>x</script> & Co"_s, u"Band"_s, u"LP"_s};
        co_return std::nullopt;
    }
};

} // namespace

TEST_F(MediaServerTest, UserPageShowsWhatTheAppReportsEscaped) {
    Config::shared().setBool(keys::shareNowPlaying, true);
    OnePlayer player;
    NowPlaying reporter(player);
    await(reporter.tick());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return request("GET", u"/@ada"_s)
                .body.contains("&lt;script&gt;x&lt;/script&gt; &amp; Co");
        },
        5000));
    const QByteArray page = request("GET", u"/@ada"_s).body;
    EXPECT_FALSE(page.contains("<script>x"));
    EXPECT_TRUE(page.contains("Band"));
}
