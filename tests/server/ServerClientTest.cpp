// The app's client of the media server against a loopback test server: uploads byte for byte,
// the answers and failures users see, and the other requests (sign-in check, replays, deletion).
#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"


#include <sys/resource.h>

namespace {

const QByteArray okAnswer =
    R"({"id":"abc","url":"http://m/u/abc","raw_url":"http://m/r/abc.png","thumbnail_url":"http://m/t/abc",)"
    R"("deletion_url":"http://m/d/secret","name":"abc.png","size":7})";

const QByteArray replayAnswer =
    R"({"id":"r1","url":"http://m/u/r1","raw_url":"http://m/r/r1.mp4","thumbnail_url":"http://m/t/r1",)"
    R"("deletion_url":"http://m/d/r1","name":"replay.mp4","size":3})";

class UploaderTest : public testing::Test {
protected:
    void SetUp() override {
        HttpClient::session().setLimits({4, 60s, 3600s});
        connect(server.url(u"/base/"_s), u"slk_token"_s);
    }

    static void connect(const QString& address, const QString& token) {
        Config::shared().setString(keys::server, Config::normalize(address));
        Config::shared().setToken(token);
    }

    static QStringList bodyFilesLeft() {
        return QDir(paths::privateTempDir()).entryList({u"slk-body-*"_s}, QDir::Files);
    }

    static QByteArray boundaryOf(const RecordedRequest& request) {
        const QByteArray type = request.header("Content-Type");
        const QByteArray prefix = "multipart/form-data; boundary=";
        EXPECT_TRUE(type.startsWith(prefix)) << type;
        return type.mid(prefix.size());
    }

    static bool noBodyFileLeft() { return bodyFilesLeft().isEmpty(); }

    TestHttpServer server;
};

// The other requests, to a server at the root of its host.
class ServerRequests : public UploaderTest {
protected:
    void SetUp() override {
        UploaderTest::SetUp();
        connect(server.url(), u"slk_t"_s);
    }
};

} // namespace

TEST_F(UploaderTest, SendsOneFilePartByteForByte) {
    server.on("/base/api/upload", {200, okAnswer});
    const QByteArray content("PNG\0bytes\r\n--x", 14);
    const QString file = writeTestFile(u"say \"hi\"\r\nthere.png"_s, content);
    const auto outcome = await(Uploader::upload(file));
    ASSERT_FALSE(outcome.error) << outcome.message();
    EXPECT_EQ(outcome.value->id, u"abc"_s);
    EXPECT_EQ(outcome.value->deletionURL, u"http://m/d/secret"_s);

    ASSERT_EQ(server.requests().size(), 1);
    const RecordedRequest& request = server.requests().front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/base/api/upload") << "a base with a path keeps it";
    EXPECT_EQ(request.header("Authorization"), "Bearer slk_token");
    EXPECT_TRUE(request.header("X-Convert").isNull());
    const QByteArray boundary = boundaryOf(request);
    EXPECT_TRUE(
        QRegularExpression(u"^slk-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"_s)
            .match(QString::fromLatin1(boundary))
            .hasMatch())
        << boundary;
    EXPECT_EQ(request.body, "--" + boundary +
                                "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"say "
                                "%22hi%22there.png\"\r\n"
                                "Content-Type: image/png\r\n\r\n" +
                                content + "\r\n--" + boundary + "--\r\n");
    EXPECT_TRUE(bodyFilesLeft().isEmpty());
}

TEST_F(UploaderTest, AnswersBecomeTheMessagesUsersSee) {
    const QString file = writeTestFile(u"a.png"_s, "x");
    QByteArray missingThumbnail = okAnswer;
    missingThumbnail.replace("\"thumbnail_url\"", "\"thumb\"");
    const std::pair<CannedResponse, QString> cases[] = {
        {{200, missingThumbnail}, u"Unexpected response from server"_s},
        {{200, "<html>ok</html>", "text/html"}, u"Unexpected response from server"_s},
        {{413, R"j({"error":"File is too large (limit 100 MB)"})j"},
         u"File is too large (limit 100 MB)"_s},
        {{401, R"({"error":"Invalid token"})"}, u"Invalid token"_s},
        {{502, "<html><body>Bad Gateway</body></html>", "text/html"},
         u"Upload failed (HTTP 502)"_s},
        {{500, ""}, u"Upload failed (HTTP 500)"_s},
        {{400, R"({"error":42})"}, u"Upload failed (HTTP 400)"_s},
        {{404, R"(["error"])"}, u"Upload failed (HTTP 404)"_s},
    };
    for (const auto& [response, message] : cases) {
        server.on("/base/api/upload", response);
        const auto outcome = await(Uploader::upload(file));
        EXPECT_EQ(outcome.message<UploaderError>(), message) << response.status;
        EXPECT_TRUE(bodyFilesLeft().isEmpty());
    }
    EXPECT_TRUE(QFile::exists(file)) << "the source is never touched";
}

TEST_F(UploaderTest, SilentServerTimesOut) {
    HttpClient::session().setLimits({4, 300ms, 3600s});
    server.on("/base/api/upload", {200, {}, {}, CannedResponse::Behaviour::Hang});
    const auto outcome = await(Uploader::upload(writeTestFile(u"a.png"_s, "x")));
    try {
        std::rethrow_exception(outcome.error);
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::TimedOut);
        EXPECT_EQ(error.message(), u"The request timed out."_s);
    } catch (...) {
        ADD_FAILURE() << "not a transport error";
    }
    EXPECT_TRUE(bodyFilesLeft().isEmpty());

    // The whole-transfer limit holds even while bytes keep the inactivity timer alive.
    HttpClient::session().setLimits({4, 60s, 200ms});
    server.on("/base/api/upload",
              {200, okAnswer, "application/json", CannedResponse::Behaviour::Answer, 2s});
    EXPECT_EQ(await(Uploader::upload(writeTestFile(u"b.png"_s, "x"))).message<TransportError>(),
              u"The request timed out."_s);
}

TEST_F(UploaderTest, ProgressArrivesOnTheMainThreadInOrderEndingAtOne) {
    server.on("/base/api/upload", {200, okAnswer});
    const QString file = writeTestFile(u"big.mp4"_s, QByteArray(24 * 1024 * 1024, 'v'));
    QList<double> fractions;
    bool offMainThread = false;
    const auto outcome = await(Uploader::upload(file, std::nullopt, [&](double fraction) {
        offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        fractions.append(fraction);
    }));
    ASSERT_FALSE(outcome.error) << outcome.message();
    EXPECT_FALSE(offMainThread);
    ASSERT_FALSE(fractions.isEmpty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_GT(fractions.front(), 0.0);
    EXPECT_EQ(fractions.back(), 1.0);
    const RecordedRequest& request = server.requests().front();
    const QByteArray boundary = boundaryOf(request);
    const qint64 framing =
        QByteArray("--" + boundary +
                   "\r\nContent-Disposition: form-data; name=\"file\"; "
                   "filename=\"big.mp4\"\r\nContent-Type: video/mp4\r\n\r\n\r\n--" +
                   boundary + "--\r\n")
            .size();
    EXPECT_EQ(request.bodySize, 24 * 1024 * 1024 + framing);
}

TEST_F(UploaderTest, AtMostFourUploadsPerHostAndWaitingOnesDoNotTimeOut) {
    // Each answer takes longer than the inactivity limit would allow a queued request to wait.
    HttpClient::session().setLimits({4, 700ms, 3600s});
    server.on("/base/api/upload",
              {200, okAnswer, "application/json", CannedResponse::Behaviour::Answer, 400ms});
    const QString file = writeTestFile(u"a.png"_s, "x");
    int finished = 0;
    bool failed = false;
    std::vector<QCoro::Task<>> running;
    for (int i = 0; i < 9; ++i) {
        running.push_back([](QString file, int& finished, bool& failed) -> QCoro::Task<> {
            try {
                auto uploading = Uploader::upload(file);
                co_await std::move(uploading);
            } catch (...) {
                failed = true;
            }
            ++finished;
        }(file, finished, failed));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 9; }, 20000));
    EXPECT_FALSE(failed);
    EXPECT_EQ(server.requests().size(), 9);
    EXPECT_EQ(server.peakConcurrent(), 4);
}

TEST_F(ServerRequests, VerifyRefusesAddressesThatAreNoServer) {
    // What the real server answers is checked against it; what never reaches one, here.
    for (const char* bad : {"", "   ", "/", "exa mple.org", "http://[::1"}) {
        EXPECT_EQ(
            await(Uploader::verify(QString::fromLatin1(bad), u"x"_s)).message<UploaderError>(),
            u"That server URL doesn't look right"_s)
            << bad;
    }
    EXPECT_TRUE(server.requests().isEmpty());
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
