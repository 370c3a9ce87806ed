// The reference server, run as its real binary and spoken to over loopback with the app's own
// client and types.
#include "MediaServerFixture.h"
#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

using namespace shotlark;
using namespace shotlark::test;

namespace {

QImage pngFrom(const QByteArray& bytes) {
    return QImage::fromData(bytes, "PNG");
}

} // namespace

TEST_F(MediaServerTest, UploadThenEveryLinkServesIt) {
    QImage picture(900, 600, QImage::Format_RGB32);
    picture.fill(QColor(10, 120, 200));
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "PNG");
    }
    const UploadResult result = upload(writeTestFile(QStringLiteral("Screenshot 1.png"), png));
    EXPECT_EQ(result.name, QStringLiteral("Screenshot 1.png"));
    EXPECT_EQ(result.size, png.size());
    ASSERT_TRUE(result.url.startsWith(url));

    const HttpResponse raw = request("GET", result.rawURL);
    EXPECT_EQ(raw.status, 200);
    EXPECT_EQ(raw.body, png) << "the direct link returns the same bytes";
    EXPECT_EQ(raw.header("Content-Type"), "image/png");

    const HttpResponse page = request("GET", result.url);
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.header("Content-Type").startsWith("text/html"));
    EXPECT_TRUE(page.body.contains(path(result.rawURL).toUtf8()));

    const QImage thumbnail = pngFrom(request("GET", result.thumbnailURL).body);
    EXPECT_EQ(thumbnail.width(), 400);
    EXPECT_NEAR(thumbnail.height(), 267, 1);
    EXPECT_EQ(thumbnail.pixelColor(10, 10), QColor(10, 120, 200));

    const UploadResult text =
        upload(writeTestFile(QStringLiteral("notes.txt"), "<script>alert(1)</script>"));
    EXPECT_FALSE(pngFrom(request("GET", text.thumbnailURL).body).isNull())
        << "a placeholder for other types";
    const HttpResponse textPage = request("GET", text.url);
    EXPECT_TRUE(textPage.body.contains("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_FALSE(textPage.body.contains("<script>"));

    const HttpResponse range = request("GET", result.rawURL, {{"Range", "bytes=2-5"}});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, png.mid(2, 4));
    EXPECT_EQ(range.header("Content-Range"), "bytes 2-5/" + QByteArray::number(png.size()));
}

TEST_F(MediaServerTest, RefusalsAreJsonErrorsTheAppShows) {
    const QString file = writeTestFile(QStringLiteral("a.png"), "x");
    Config::shared().setToken(QStringLiteral("slk_wrong"));
    EXPECT_EQ(await(Uploader::upload(file)).message<UploaderError>(),
              QStringLiteral("Invalid or missing upload token"));
    Config::shared().setToken(token);

    HttpResponse answer = request(
        "POST", QStringLiteral("/api/upload"),
        {{"Authorization", "Bearer " + token.toUtf8()}, {"Content-Type", "text/plain"}}, "hello");
    EXPECT_EQ(answer.status, 400);
    EXPECT_FALSE(error(answer).isEmpty());
    answer = request("POST", QStringLiteral("/api/upload"),
                     {{"Authorization", "Bearer " + token.toUtf8()},
                      {"Content-Type", "multipart/form-data; boundary=B"}},
                     "--B\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx\r\n--B--\r\n");
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(error(answer), QStringLiteral("Expected a part named \"file\""));

    answer = request("GET", QStringLiteral("/no/such/page"));
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(error(answer), QStringLiteral("Not found"));
    EXPECT_EQ(request("GET", QStringLiteral("/api/me")).status, 401);
    EXPECT_EQ(request("GET", QStringLiteral("/api/features")).status, 200)
        << "refused uploads leave connections usable";

    answer = request("GET", QStringLiteral("/api/features"), {{"X-Huge", QByteArray(20000, 'h')}});
    EXPECT_GE(answer.status, 400);
    EXPECT_FALSE(error(answer).isEmpty());
    EXPECT_TRUE(upload(file).id.size() > 0) << "still serving";
    EXPECT_TRUE(filesIn(QStringLiteral("tmp")).isEmpty());
}

TEST_F(MediaServerTest, AccountFeaturesVersionsAndNowPlaying) {
    EXPECT_EQ(await(Uploader::verify(url, token)).value, QStringLiteral("ada"));
    ServerInfo info;
    await(info.refresh(true));
    ASSERT_TRUE(info.features());
    EXPECT_EQ(info.features()->size(), 6);
    EXPECT_EQ(info.dashboardURL(), QUrl(url + QStringLiteral("/dashboard/")));
    EXPECT_EQ(info.editorURL(QStringLiteral("x1"))->toString(),
              url + QStringLiteral("/dashboard/edit/?id=x1"));
    EXPECT_EQ(request("GET", QStringLiteral("/api/setup/versions")).body, "{}");

    const QString releases = test::testHome() + QStringLiteral("/releases");
    QDir().mkpath(releases);
    for (const char* name :
         {"Shotlark-1.2.0-linux.zip", "Shotlark-1.10.0-linux.zip", "Shotlark-9.0.0-mac.zip"})
        writeTestFile(QStringLiteral("releases/") + QLatin1String(name), name);
    start({QStringLiteral("--features"), QString(), QStringLiteral("--releases"), releases});
    await(info.refresh(true));
    EXPECT_EQ(info.features(), QSet<QString>());

    const QJsonObject linux =
        QJsonDocument::fromJson(request("GET", QStringLiteral("/api/setup/versions")).body)
            .object()[QStringLiteral("linux")]
            .toObject();
    EXPECT_EQ(linux[QStringLiteral("version")].toString(), QStringLiteral("1.10.0"));
    EXPECT_EQ(request("GET", linux[QStringLiteral("url")].toString()).body,
              "Shotlark-1.10.0-linux.zip");

    const QByteArray bearer = "Bearer " + token.toUtf8();
    EXPECT_EQ(
        request(
            "POST", QStringLiteral("/api/me/now-playing"),
            {{"Authorization", bearer}, {"Content-Type", "application/json"}},
            R"({"playing":true,"title":"<Song>","artist":"Band","album":"","source":"Spotify"})")
            .status,
        200);
    HttpResponse page = request("GET", QStringLiteral("/@ada"));
    EXPECT_TRUE(page.body.contains("&lt;Song&gt;</strong> by Band · Spotify"))
        << page.body.toStdString();
    request("POST", QStringLiteral("/api/me/now-playing"), {{"Authorization", bearer}},
            R"({"playing":false})");
    EXPECT_TRUE(request("GET", QStringLiteral("/@ada")).body.contains("Not playing"));
    EXPECT_EQ(
        request("POST", QStringLiteral("/api/me/now-playing"), {{"Authorization", bearer}}, "{oops")
            .status,
        400);
    EXPECT_EQ(
        request("POST", QStringLiteral("/api/me/now-playing"), {}, R"({"playing":false})").status,
        401);
}

TEST_F(MediaServerTest, FileNamesAreSanitised) {
    const QByteArray bearer = "Bearer " + token.toUtf8();
    const std::pair<QByteArray, QString> cases[] = {
        {"../../etc/passwd", QStringLiteral("passwd")},
        {"..\\..\\boot.ini", QStringLiteral("boot.ini")},
        {".bashrc", QStringLiteral("bashrc")},
        {"...", QStringLiteral("upload")},
        {"tab\there.png", QStringLiteral("tabhere.png")},
    };
    for (const auto& [sent, stored] : cases) {
        const HttpResponse answer = request(
            "POST", QStringLiteral("/api/upload"),
            {{"Authorization", bearer}, {"Content-Type", "multipart/form-data; boundary=XyZ"}},
            "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + sent +
                "\"\r\nContent-Type: application/octet-stream\r\n\r\ndata\r\n--XyZ--\r\n");
        ASSERT_EQ(answer.status, 200) << answer.body.toStdString();
        EXPECT_EQ(UploadResult::decode(answer.body)->name, stored) << sent.toStdString();
    }
    for (const QString& file : filesIn(QStringLiteral("files")))
        EXPECT_FALSE(file.contains(QLatin1Char('.'))) << "stored by id only";
}

TEST_F(MediaServerTest, ClientThatDisconnectsMidUploadLeavesNothing) {
    QTcpSocket socket;
    socket.connectToHost(QUrl(url).host(), static_cast<quint16>(QUrl(url).port()));
    ASSERT_TRUE(socket.waitForConnected(5000));
    const QByteArray head =
        "POST /api/upload HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token.toUtf8() +
        "\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: 10000000\r\n\r\n"
        "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"cut.bin\"\r\n\r\n";
    socket.write(head + QByteArray(1 << 20, 'c'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return socket.bytesToWrite() == 0; }, 5000));
    // The body goes to an unnamed file in tmp/, which the server holds open while it arrives.
    const auto spooling = [&] {
        const QString fds = QStringLiteral("/proc/%1/fd/").arg(server->pid());
        for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System)) {
            char target[4096] = {};
            if (::readlink(QFile::encodeName(fds + fd).constData(), target, sizeof target - 1) >
                    0 &&
                QFile::decodeName(target).startsWith(dataDir + QStringLiteral("/tmp/")))
                return true;
        }
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(spooling, 5000)) << "the body is streamed to a temporary file";
    socket.abort();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !spooling(); }, 10000));
    EXPECT_TRUE(filesIn(QStringLiteral("tmp")).isEmpty());
    EXPECT_TRUE(filesIn(QStringLiteral("files")).isEmpty());
}

TEST_F(MediaServerTest, DashboardShowsOnlyYourOwnUploadsSafely) {
    const QString other = createUser(QStringLiteral("bob"));
    const UploadResult mine =
        upload(writeTestFile(QStringLiteral("<img src=x onerror=alert(1)>.png"), "m"));
    Config::shared().setToken(other);
    const UploadResult theirs = upload(writeTestFile(QStringLiteral("bobs-secret.png"), "b"));
    Config::shared().setToken(token);

    EXPECT_EQ(
        request("POST", QStringLiteral("/dashboard/login"),
                {{"Content-Type", "application/x-www-form-urlencoded"}, {"Origin", url.toUtf8()}},
                "token=slk_nope")
            .status,
        401);
    const QByteArray cookie = signIn(token);
    const HttpResponse list = request("GET", QStringLiteral("/dashboard/"), {{"Cookie", cookie}});
    EXPECT_TRUE(list.body.contains(("/u/" + mine.id).toUtf8()));
    EXPECT_TRUE(list.body.contains("&lt;img src=x onerror=alert(1)&gt;.png"));
    EXPECT_FALSE(list.body.contains("<img src=x"));
    EXPECT_FALSE(list.body.contains("bobs-secret"));
    EXPECT_FALSE(request("GET", QStringLiteral("/dashboard/")).body.contains("/u/"))
        << "signed out: a sign-in form";

    const HttpResponse setup =
        request("GET", QStringLiteral("/dashboard/setup/"), {{"Cookie", cookie}});
    const QByteArray link = "shotlark://configure?server=" + QUrl::toPercentEncoding(url) +
                            "&amp;token=" + QUrl::toPercentEncoding(token);
    EXPECT_TRUE(setup.body.contains(link)) << setup.body.toStdString();

    const HttpResponse editor =
        request("GET", QStringLiteral("/dashboard/edit/?id=") + mine.id, {{"Cookie", cookie}});
    EXPECT_EQ(editor.status, 200);
    EXPECT_TRUE(editor.body.contains("Edit &lt;img src=x"));
    EXPECT_EQ(
        request("GET", QStringLiteral("/dashboard/edit/?id=") + theirs.id, {{"Cookie", cookie}})
            .status,
        404);

    const QByteArray csrf = [&] {
        const qsizetype at = list.body.indexOf("name=\"csrf\" value=\"") + 19;
        return list.body.mid(at, list.body.indexOf('"', at) - at);
    }();
    const QList<std::pair<QByteArray, QByteArray>> form = {
        {"Cookie", cookie}, {"Content-Type", "application/x-www-form-urlencoded"}};
    EXPECT_EQ(request("POST", QStringLiteral("/dashboard/delete"), form,
                      "id=" + mine.id.toUtf8() + "&csrf=forged")
                  .status,
              403);
    EXPECT_EQ(request("POST", QStringLiteral("/dashboard/delete"), form,
                      "id=" + theirs.id.toUtf8() + "&csrf=" + csrf)
                  .status,
              404);
    EXPECT_EQ(request("POST", QStringLiteral("/dashboard/delete"), form,
                      "id=" + mine.id.toUtf8() + "&csrf=" + csrf)
                  .status,
              303);
    EXPECT_EQ(request("GET", mine.url).status, 404);
    EXPECT_EQ(request("GET", theirs.url).status, 200);
}
