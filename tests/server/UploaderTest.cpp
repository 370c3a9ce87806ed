#include "server/Uploader.h"
#include "base/Errors.h"
#include "server/HttpClient.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/TestHttpServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>
#include <QThread>

using namespace shotlark;
using namespace shotlark::test;
using namespace std::chrono_literals;

namespace {

const QByteArray okAnswer =
    R"({"id":"abc","url":"http://m/u/abc","raw_url":"http://m/r/abc.png","thumbnail_url":"http://m/t/abc",)"
    R"("deletion_url":"http://m/d/secret","name":"abc.png","size":7})";

class UploaderTest : public testing::Test {
protected:
    void SetUp() override {
        HttpClient::session().setLimits({4, 60s, 3600s});
        connect(server.url(QStringLiteral("/base/")), QStringLiteral("slk_token"));
    }

    static void connect(const QString& address, const QString& token) {
        Config::shared().setString(keys::server, Config::normalize(address));
        Config::shared().setToken(token);
    }

    static QStringList bodyFilesLeft() {
        return QDir(paths::privateTempDir()).entryList({QStringLiteral("slk-body-*")}, QDir::Files);
    }

    static QByteArray boundaryOf(const RecordedRequest& request) {
        const QByteArray type = request.header("Content-Type");
        const QByteArray prefix = "multipart/form-data; boundary=";
        EXPECT_TRUE(type.startsWith(prefix)) << type.toStdString();
        return type.mid(prefix.size());
    }

    TestHttpServer server;
};

} // namespace

TEST_F(UploaderTest, SendsOneFilePartByteForByte) {
    server.on("/base/api/upload", {200, okAnswer});
    const QByteArray content("PNG\0bytes\r\n--x", 14);
    const QString file = writeTestFile(QStringLiteral("say \"hi\"\r\nthere.png"), content);
    const auto outcome = await(Uploader::upload(file));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
    EXPECT_EQ(outcome.value->id, QStringLiteral("abc"));
    EXPECT_EQ(outcome.value->deletionURL, QStringLiteral("http://m/d/secret"));

    ASSERT_EQ(server.requests().size(), 1);
    const RecordedRequest& request = server.requests().front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/base/api/upload") << "a base with a path keeps it";
    EXPECT_EQ(request.header("Authorization"), "Bearer slk_token");
    EXPECT_TRUE(request.header("X-Convert").isNull());
    const QByteArray boundary = boundaryOf(request);
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^slk-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
            .match(QString::fromLatin1(boundary))
            .hasMatch())
        << boundary.toStdString();
    EXPECT_EQ(request.body, "--" + boundary +
                                "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"say "
                                "%22hi%22there.png\"\r\n"
                                "Content-Type: image/png\r\n\r\n" +
                                content + "\r\n--" + boundary + "--\r\n");
    EXPECT_TRUE(bodyFilesLeft().isEmpty());
}

TEST_F(UploaderTest, AnswersBecomeTheMessagesUsersSee) {
    const QString file = writeTestFile(QStringLiteral("a.png"), "x");
    QByteArray missingThumbnail = okAnswer;
    missingThumbnail.replace("\"thumbnail_url\"", "\"thumb\"");
    const std::pair<CannedResponse, QString> cases[] = {
        {{200, missingThumbnail}, QStringLiteral("Unexpected response from server")},
        {{200, "<html>ok</html>", "text/html"}, QStringLiteral("Unexpected response from server")},
        {{413, R"j({"error":"File is too large (limit 100 MB)"})j"},
         QStringLiteral("File is too large (limit 100 MB)")},
        {{401, R"({"error":"Invalid token"})"}, QStringLiteral("Invalid token")},
        {{502, "<html><body>Bad Gateway</body></html>", "text/html"},
         QStringLiteral("Upload failed (HTTP 502)")},
        {{500, ""}, QStringLiteral("Upload failed (HTTP 500)")},
        {{400, R"({"error":42})"}, QStringLiteral("Upload failed (HTTP 400)")},
        {{404, R"(["error"])"}, QStringLiteral("Upload failed (HTTP 404)")},
    };
    for (const auto& [response, message] : cases) {
        server.on("/base/api/upload", response);
        const auto outcome = await(Uploader::upload(file));
        EXPECT_EQ(outcome.message<UploaderError>(), message) << response.status;
        EXPECT_TRUE(bodyFilesLeft().isEmpty());
    }
    EXPECT_TRUE(QFile::exists(file)) << "the source is never touched";
}

TEST_F(UploaderTest, TransportFailuresPassThroughWithTheirOwnText) {
    const QString file = writeTestFile(QStringLiteral("a.png"), "x");
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    connect(QStringLiteral("http://127.0.0.1:%1").arg(closedPort), QStringLiteral("slk_token"));
    auto outcome = await(Uploader::upload(file));
    EXPECT_EQ(outcome.message<TransportError>(), QStringLiteral("Connection refused"));
    EXPECT_TRUE(bodyFilesLeft().isEmpty());

    connect(server.url(), QStringLiteral("slk_token"));
    server.on("/api/upload", {200, {}, {}, CannedResponse::Behaviour::Close});
    outcome = await(Uploader::upload(file));
    EXPECT_FALSE(outcome.message<TransportError>().isEmpty());
    EXPECT_TRUE(bodyFilesLeft().isEmpty());
}

TEST_F(UploaderTest, SilentServerTimesOut) {
    HttpClient::session().setLimits({4, 300ms, 3600s});
    server.on("/base/api/upload", {200, {}, {}, CannedResponse::Behaviour::Hang});
    const auto outcome = await(Uploader::upload(writeTestFile(QStringLiteral("a.png"), "x")));
    try {
        std::rethrow_exception(outcome.error);
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::TimedOut);
        EXPECT_EQ(error.message(), QStringLiteral("The request timed out."));
    } catch (...) {
        ADD_FAILURE() << "not a transport error";
    }
    EXPECT_TRUE(bodyFilesLeft().isEmpty());

    // The whole-transfer limit holds even while bytes keep the inactivity timer alive.
    HttpClient::session().setLimits({4, 60s, 200ms});
    server.on("/base/api/upload",
              {200, okAnswer, "application/json", CannedResponse::Behaviour::Answer, 2s});
    EXPECT_EQ(await(Uploader::upload(writeTestFile(QStringLiteral("b.png"), "x")))
                  .message<TransportError>(),
              QStringLiteral("The request timed out."));
}

TEST_F(UploaderTest, ProgressArrivesOnTheMainThreadInOrderEndingAtOne) {
    server.on("/base/api/upload", {200, okAnswer});
    const QString file =
        writeTestFile(QStringLiteral("big.mp4"), QByteArray(24 * 1024 * 1024, 'v'));
    QList<double> fractions;
    bool offMainThread = false;
    const auto outcome = await(Uploader::upload(file, std::nullopt, [&](double fraction) {
        offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        fractions.append(fraction);
    }));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
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
    const QString file = writeTestFile(QStringLiteral("a.png"), "x");
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
