#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/TestHttpServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/resource.h>

using namespace shotlark;
using namespace shotlark::test;
using namespace std::chrono_literals;

namespace {

const QByteArray okAnswer =
    R"({"id":"r1","url":"http://m/u/r1","raw_url":"http://m/r/r1.mp4","thumbnail_url":"http://m/t/r1",)"
    R"("deletion_url":"http://m/d/r1","name":"replay.mp4","size":3})";

class ServerRequests : public testing::Test {
protected:
    void SetUp() override {
        HttpClient::session().setLimits({4, 60s, 3600s});
        Config::shared().setString(keys::server, server.url());
        Config::shared().setToken(QStringLiteral("slk_t"));
    }

    static bool noBodyFileLeft() {
        return QDir(paths::privateTempDir())
            .entryList({QStringLiteral("slk-body-*")}, QDir::Files)
            .isEmpty();
    }

    TestHttpServer server;
};

} // namespace

TEST_F(ServerRequests, VerifyChecksTheTypedAddressAndToken) {
    server.on("/team/api/me", {200, R"({"username":"ada","server":{"dashboard_url":"x"}})"});
    const auto ok = await(Uploader::verify(
        QStringLiteral("  ") + server.url(QStringLiteral("/team//")), QStringLiteral("slk_typed")));
    EXPECT_EQ(ok.value, QStringLiteral("ada"));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().front().target, "/team/api/me");
    EXPECT_EQ(server.requests().front().header("Authorization"), "Bearer slk_typed");

    server.on("/api/me", {401, R"({"error":"Unknown token"})"});
    EXPECT_EQ(await(Uploader::verify(server.url(), QStringLiteral("x"))).message<UploaderError>(),
              QStringLiteral("Unknown token"));
    server.on("/api/me", {500, ""});
    EXPECT_EQ(await(Uploader::verify(server.url(), QStringLiteral("x"))).message<UploaderError>(),
              QStringLiteral("Server answered HTTP 500"));
    server.on("/api/me", {201, R"({"username":"ada"})"});
    EXPECT_EQ(await(Uploader::verify(server.url(), QStringLiteral("x"))).message<UploaderError>(),
              QStringLiteral("Server answered HTTP 201"));
    server.on("/api/me", {200, R"({"user":"ada"})"});
    EXPECT_FALSE(await(Uploader::verify(server.url(), QStringLiteral("x")))
                     .message<DecodingError>()
                     .isEmpty());

    for (const char* bad : {"", "   ", "/", "exa mple.org", "http://[::1"}) {
        EXPECT_EQ(await(Uploader::verify(QString::fromLatin1(bad), QStringLiteral("x")))
                      .message<UploaderError>(),
                  QStringLiteral("That server URL doesn't look right"))
            << bad;
    }
}

TEST_F(ServerRequests, AddressesWithoutSchemeGoToHttps) {
    const auto base =
        Uploader::serverURL(Config::normalize(QStringLiteral("media.example.org/sub/")));
    ASSERT_TRUE(base);
    EXPECT_EQ(Uploader::endpoint(*base, QStringLiteral("api/me")).toString(),
              QStringLiteral("https://media.example.org/sub/api/me"));
    EXPECT_EQ(
        Uploader::endpoint(QUrl(QStringLiteral("http://h:8080")), QStringLiteral("api/upload"))
            .toString(),
        QStringLiteral("http://h:8080/api/upload"));
}

TEST_F(ServerRequests, DeletionFollowsTheLinkWithoutCredentials) {
    server.on("/d/gone", {404, "<html>not here</html>", "text/html"});
    server.on("/d/ok", {200, ""});
    server.on("/d/no", {403, R"({"error":"nope"})"});
    EXPECT_EQ(await(Uploader::deleteUpload(server.url(QStringLiteral("/d/ok")))).value,
              Uploader::Deletion::Done);
    EXPECT_EQ(await(Uploader::deleteUpload(server.url(QStringLiteral("/d/gone")))).value,
              Uploader::Deletion::Done);
    EXPECT_EQ(await(Uploader::deleteUpload(server.url(QStringLiteral("/d/no")))).value,
              Uploader::Deletion::Refused);
    ASSERT_EQ(server.requests().size(), 3);
    for (const RecordedRequest& request : server.requests()) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_TRUE(request.header("Authorization").isNull());
        EXPECT_TRUE(request.body.isEmpty());
    }
    EXPECT_EQ(await(Uploader::deleteUpload(QStringLiteral("http://127.0.0.1:1/d/x"))).value,
              Uploader::Deletion::Refused);
    EXPECT_EQ(await(Uploader::deleteUpload(QStringLiteral("not a link"))).value,
              Uploader::Deletion::NotALink);
    EXPECT_EQ(await(Uploader::deleteUpload(QStringLiteral("file:///etc/passwd"))).value,
              Uploader::Deletion::NotALink);
    EXPECT_EQ(server.requests().size(), 3);
}

TEST_F(ServerRequests, ReplayBodyHoldsSecondsThenEverySegment) {
    server.on("/api/replay", {200, okAnswer});
    const QStringList segments = {writeTestFile(QStringLiteral("seg-a.mp4"), "AAA"),
                                  writeTestFile(QStringLiteral("seg-b.mp4"), QByteArray("B\0B", 3)),
                                  writeTestFile(QStringLiteral("whatever.bin"), "")};
    const auto outcome = await(Uploader::uploadReplay(segments, 30));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
    EXPECT_EQ(outcome.value->name, QStringLiteral("replay.mp4"));

    const RecordedRequest& request = server.requests().back();
    EXPECT_EQ(request.target, "/api/replay");
    EXPECT_EQ(request.header("Authorization"), "Bearer slk_t");
    EXPECT_TRUE(request.header("X-Convert").isNull());
    const QByteArray boundary =
        request.header("Content-Type").mid(QByteArray("multipart/form-data; boundary=").size());
    ASSERT_TRUE(boundary.startsWith("slk-"));
    QByteArray expected =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"seconds\"\r\n\r\n30\r\n";
    const QByteArray contents[] = {"AAA", QByteArray("B\0B", 3), ""};
    for (int i = 0; i < 3; ++i) {
        expected += "--" + boundary +
                    "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"segment" +
                    QByteArray::number(i) + ".mp4\"\r\nContent-Type: video/mp4\r\n\r\n" +
                    contents[i] + "\r\n";
    }
    expected += "--" + boundary + "--\r\n";
    EXPECT_EQ(request.body, expected);
    EXPECT_TRUE(noBodyFileLeft());

    ASSERT_FALSE(await(Uploader::uploadReplay({}, 12)).error);
    const RecordedRequest& empty = server.requests().back();
    const QByteArray emptyBoundary =
        empty.header("Content-Type").mid(QByteArray("multipart/form-data; boundary=").size());
    EXPECT_EQ(empty.body,
              "--" + emptyBoundary +
                  "\r\nContent-Disposition: form-data; name=\"seconds\"\r\n\r\n12\r\n--" +
                  emptyBoundary + "--\r\n");
}

TEST_F(ServerRequests, ReplayFailuresLeaveNoBody) {
    const QString segment = writeTestFile(QStringLiteral("s.mp4"), "S");
    server.on("/api/replay", {200, R"({"id":"x"})"});
    EXPECT_FALSE(await(Uploader::uploadReplay({segment}, 30)).message<DecodingError>().isEmpty());
    server.on("/api/replay", {507, R"({"error":"Disk full"})"});
    EXPECT_EQ(await(Uploader::uploadReplay({segment}, 30)).message<UploaderError>(),
              QStringLiteral("Disk full"));
    server.on("/api/replay", {503, "busy", "text/plain"});
    EXPECT_EQ(await(Uploader::uploadReplay({segment}, 30)).message<UploaderError>(),
              QStringLiteral("Upload failed (HTTP 503)"));
    const int sent = static_cast<int>(server.requests().size());
    EXPECT_FALSE(
        await(Uploader::uploadReplay({segment, test::testHome() + QStringLiteral("/gone.mp4")}, 30))
            .message<FileError>()
            .isEmpty());
    EXPECT_EQ(server.requests().size(), sent) << "a missing segment sends nothing";
    EXPECT_TRUE(noBodyFileLeft());
}

namespace {
struct FakeClock {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point(1000h);
};
} // namespace

TEST_F(ServerRequests, RefreshAsksAtMostOnceInFiveMinutesUnlessForced) {
    FakeClock clock;
    ServerInfo info([&clock] { return clock.now; });
    EXPECT_TRUE(info.isEnabled(features::replayBuffer)) << "unknown features count as on";

    server.on("/api/features", {200, R"({"enabled":["app_ocr"]})"});
    server.on(
        "/api/me",
        {200, R"({"username":"ada","server":{"dashboard_url":"https://m.example/dashboard/"}})"});
    await(info.refresh(false));
    await(info.refresh(false));
    EXPECT_EQ(server.requestsTo("/api/features").size(), 1);
    EXPECT_EQ(server.requestsTo("/api/me").size(), 1);
    EXPECT_TRUE(server.requestsTo("/api/features").front().header("Authorization").isNull());
    EXPECT_EQ(server.requestsTo("/api/me").front().header("Authorization"), "Bearer slk_t");
    EXPECT_TRUE(info.isEnabled(features::appOcr));
    EXPECT_FALSE(info.isEnabled(features::appGif));
    EXPECT_EQ(info.dashboardURL(), QUrl(QStringLiteral("https://m.example/dashboard/")));

    clock.now += 299s;
    await(info.refresh(false));
    EXPECT_EQ(server.requestsTo("/api/features").size(), 1);
    await(info.refresh(true));
    EXPECT_EQ(server.requestsTo("/api/features").size(), 2);
    clock.now += 301s;
    await(info.refresh(false));
    EXPECT_EQ(server.requestsTo("/api/features").size(), 3);
    EXPECT_EQ(server.requestsTo("/api/me").size(), 3);
}

TEST_F(ServerRequests, UndecodableAnswersKeepWhatWasKnown) {
    ServerInfo info;
    server.on("/api/features", {200, R"({"enabled":["annotate","app_gif"]})"});
    server.on("/api/me", {200, R"({"server":{"dashboard_url":"http://m/dash/"}})"});
    await(info.refresh(true));
    ASSERT_TRUE(info.features());

    server.on("/api/features", {404, "<html>Not Found</html>", "text/html"});
    server.on("/api/me", {500, R"({"server":{}})"});
    await(info.refresh(true));
    EXPECT_EQ(info.features(), (QSet<QString>{features::annotate, features::appGif}));
    EXPECT_EQ(info.dashboardURL(), QUrl(QStringLiteral("http://m/dash/")));

    server.on("/api/features", {503, R"({"enabled":[]})"});
    await(info.refresh(true));
    for (const QString& name :
         {features::annotate, features::appGif, features::appOcr, features::appPresence,
          features::autoUpdate, features::replayBuffer})
        EXPECT_FALSE(info.isEnabled(name)) << name.toStdString();

    Config::shared().setString(keys::server, QStringLiteral("http://127.0.0.1:1"));
    await(info.refresh(true)); // unreachable: nothing changes
    EXPECT_EQ(info.features(), QSet<QString>());
}

TEST_F(ServerRequests, EditorLinksAreWebLinksWithAnEscapedId) {
    ServerInfo info;
    Config::shared().setString(keys::server, QStringLiteral("https://media.example.org"));
    EXPECT_EQ(info.editorURL(QStringLiteral("a b&c=d#e"))->toString(QUrl::FullyEncoded),
              QStringLiteral("https://media.example.org/edit/?id=a%20b%26c%3Dd%23e"));

    server.on("/api/features", {200, R"({"enabled":[]})"});
    server.on("/api/me", {200, R"({"server":{"dashboard_url":"http://m.example/dashboard/"}})"});
    Config::shared().setString(keys::server, server.url());
    await(info.refresh(true));
    EXPECT_EQ(info.editorURL(QStringLiteral("abc"))->toString(),
              QStringLiteral("http://m.example/dashboard/edit/?id=abc"));

    server.on("/api/me", {200, R"j({"server":{"dashboard_url":"javascript:alert(1)"}})j"});
    await(info.refresh(true));
    EXPECT_FALSE(info.dashboardURL());
    Config::shared().setString(keys::server, QStringLiteral("ftp://files.example.org"));
    EXPECT_FALSE(info.editorURL(QStringLiteral("abc"))) << "only http and https";
    Config::shared().remove(keys::server);
    EXPECT_FALSE(info.editorURL(QStringLiteral("abc")));
}

TEST_F(ServerRequests, DownloadsGoToTheirFileWhateverTheirSize) {
    const QByteArray big(20 * 1024 * 1024, 'z'); // larger than any answer kept in memory
    server.on("/Shotlark.zip", {200, big, "application/zip"});
    HttpRequest request;
    request.url = QUrl(server.url(QStringLiteral("/Shotlark.zip")));
    request.saveTo = paths::temporaryPath(QStringLiteral("slk-update-")) + QStringLiteral(".zip");
    const auto saved = await(HttpClient::shared().send(request));
    ASSERT_FALSE(saved.error) << saved.message().toStdString();
    EXPECT_EQ(saved.value->status, 200);
    EXPECT_TRUE(saved.value->body.isEmpty());
    QFile file(request.saveTo);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), big);

    // A disk that fills up on the way: the download fails with the system's reason.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 1024 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const QString failure = await(HttpClient::shared().send(request)).message<FileError>();
    ::setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(failure, QStringLiteral("Couldn't write %1: File too large").arg(request.saveTo));

    request.saveTo = paths::privateTempDir() + QStringLiteral("/no/such/folder/x.zip");
    EXPECT_TRUE(await(HttpClient::shared().send(request))
                    .message<FileError>()
                    .startsWith(QStringLiteral("Couldn't write ") + request.saveTo));
}
