// What the app reports as playing, as the reference server's user page shows it.
#include "MediaServerFixture.h"
#include "nowplaying/NowPlaying.h"

#include <QTest>

using namespace shotlark;
using namespace shotlark::test;

namespace {

struct OnePlayer : platform::MediaPlayers {
    QCoro::Task<std::optional<platform::PlayingTrack>> playing(QString busName) override {
        if (busName == QStringLiteral("org.mpris.MediaPlayer2.spotify"))
            co_return platform::PlayingTrack{QStringLiteral("<script>x</script> & Co"),
                                             QStringLiteral("Band"), QStringLiteral("LP")};
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
            return request("GET", QStringLiteral("/@ada"))
                .body.contains("&lt;script&gt;x&lt;/script&gt; &amp; Co");
        },
        5000));
    const QByteArray page = request("GET", QStringLiteral("/@ada")).body;
    EXPECT_FALSE(page.contains("<script>x"));
    EXPECT_TRUE(page.contains("Band"));
}
