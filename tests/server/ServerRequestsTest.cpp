#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/TestHttpServer.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <csignal>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

using namespace shotlark;
using namespace shotlark::test;
using namespace std::chrono_literals;

namespace {

const QByteArray replayAnswer =
    R"({"id":"r1","url":"http://m/u/r1","raw_url":"http://m/r/r1.mp4","thumbnail_url":"http://m/t/r1",)"
    R"("deletion_url":"http://m/d/r1","name":"replay.mp4","size":3})";

class ServerRequests : public testing::Test {
protected:
    void SetUp() override {
        HttpClient::session().setLimits({4, 60s, 3600s});
        Config::shared().setString(keys::server, server.url());
        Config::shared().setToken(u"slk_t"_s);
    }

    static bool noBodyFileLeft() {
        return QDir(paths::privateTempDir()).entryList({u"slk-body-*"_s}, QDir::Files).isEmpty();
    }

    TestHttpServer server;
};

} // namespace

TEST_F(ServerRequests, VerifyChecksTheTypedAddressAndToken) {
    server.on("/team/api/me", {200, R"({"username":"ada","server":{"dashboard_url":"x"}})"});
    const auto ok = await(Uploader::verify(u"  "_s + server.url(u"/team//"_s), u"slk_typed"_s));
    EXPECT_EQ(ok.value, u"ada"_s);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().front().target, "/team/api/me");
    EXPECT_EQ(server.requests().front().header("Authorization"), "Bearer slk_typed");

    server.on("/api/me", {401, R"({"error":"Unknown token"})"});
    EXPECT_EQ(await(Uploader::verify(server.url(), u"x"_s)).message<UploaderError>(),
              u"Unknown token"_s);
    server.on("/api/me", {500, ""});
    EXPECT_EQ(await(Uploader::verify(server.url(), u"x"_s)).message<UploaderError>(),
              u"Server answered HTTP 500"_s);
    server.on("/api/me", {201, R"({"username":"ada"})"});
    EXPECT_EQ(await(Uploader::verify(server.url(), u"x"_s)).message<UploaderError>(),
              u"Server answered HTTP 201"_s);
    server.on("/api/me", {200, R"({"user":"ada"})"});
    EXPECT_FALSE(await(Uploader::verify(server.url(), u"x"_s)).message<DecodingError>().isEmpty());

    for (const char* bad : {"", "   ", "/", "exa mple.org", "http://[::1"}) {
        EXPECT_EQ(
            await(Uploader::verify(QString::fromLatin1(bad), u"x"_s)).message<UploaderError>(),
            u"That server URL doesn't look right"_s)
            << bad;
    }
}

TEST_F(ServerRequests, DeletionFollowsTheLinkWithoutCredentials) {
    server.on("/d/gone", {404, "<html>not here</html>", "text/html"});
    server.on("/d/ok", {200, ""});
    server.on("/d/no", {403, R"({"error":"nope"})"});
    EXPECT_EQ(await(Uploader::deleteUpload(server.url(u"/d/ok"_s))).value,
              Uploader::Deletion::Done);
    EXPECT_EQ(await(Uploader::deleteUpload(server.url(u"/d/gone"_s))).value,
              Uploader::Deletion::Done);
    EXPECT_EQ(await(Uploader::deleteUpload(server.url(u"/d/no"_s))).value,
              Uploader::Deletion::Refused);
    ASSERT_EQ(server.requests().size(), 3);
    for (const RecordedRequest& request : server.requests()) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_TRUE(request.header("Authorization").isNull());
        EXPECT_TRUE(request.body.isEmpty());
    }
    EXPECT_EQ(await(Uploader::deleteUpload(u"http://127.0.0.1:1/d/x"_s)).value,
              Uploader::Deletion::Refused);
    EXPECT_EQ(await(Uploader::deleteUpload(u"not a link"_s)).value, Uploader::Deletion::NotALink);
    EXPECT_EQ(await(Uploader::deleteUpload(u"file:///etc/passwd"_s)).value,
              Uploader::Deletion::NotALink);
    EXPECT_EQ(server.requests().size(), 3);
}

TEST_F(ServerRequests, ReplayBodyHoldsSecondsThenEverySegment) {
    server.on("/api/replay", {200, replayAnswer});
    const QStringList segments = {writeTestFile(u"seg-a.mp4"_s, "AAA"),
                                  writeTestFile(u"seg-b.mp4"_s, QByteArray("B\0B", 3)),
                                  writeTestFile(u"whatever.bin"_s, "")};
    const auto outcome = await(Uploader::uploadReplay(segments, 30));
    ASSERT_FALSE(outcome.error) << outcome.message();
    EXPECT_EQ(outcome.value->name, u"replay.mp4"_s);

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
    const QString segment = writeTestFile(u"s.mp4"_s, "S");
    server.on("/api/replay", {200, R"({"id":"x"})"});
    EXPECT_FALSE(await(Uploader::uploadReplay({segment}, 30)).message<DecodingError>().isEmpty());
    server.on("/api/replay", {507, R"({"error":"Disk full"})"});
    EXPECT_EQ(await(Uploader::uploadReplay({segment}, 30)).message<UploaderError>(),
              u"Disk full"_s);
    server.on("/api/replay", {503, "busy", "text/plain"});
    EXPECT_EQ(await(Uploader::uploadReplay({segment}, 30)).message<UploaderError>(),
              u"Upload failed (HTTP 503)"_s);
    const int sent = static_cast<int>(server.requests().size());
    EXPECT_FALSE(await(Uploader::uploadReplay({segment, test::testHome() + u"/gone.mp4"_s}, 30))
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
    EXPECT_EQ(info.dashboardURL(), QUrl(u"http://m/dash/"_s));

    server.on("/api/features", {503, R"({"enabled":[]})"});
    await(info.refresh(true));
    for (const QString& name :
         {features::annotate, features::appGif, features::appOcr, features::appPresence,
          features::autoUpdate, features::replayBuffer})
        EXPECT_FALSE(info.isEnabled(name)) << name;

    Config::shared().setString(keys::server, u"http://127.0.0.1:1"_s);
    await(info.refresh(true)); // unreachable: nothing changes
    EXPECT_EQ(info.features(), QSet<QString>());
}
