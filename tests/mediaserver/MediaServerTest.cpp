// The reference server, run as its real binary and spoken to over loopback with the app's own
// client and types.
#include "MediaServerFixture.h"
#include "base/Errors.h"
#include "server/CustomUploader.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/Prelude.h"

#include <QBuffer>
#include <QImage>
#include <QTcpSocket>

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
    const UploadResult result = upload(writeTestFile(u"Screenshot 1.png"_s, png));
    EXPECT_EQ(result.name, u"Screenshot 1.png"_s);
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

    const UploadResult text = upload(writeTestFile(u"notes.txt"_s, "<script>alert(1)</script>"));
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
    const QString file = writeTestFile(u"a.png"_s, "x");
    Config::shared().setToken(u"slk_wrong"_s);
    EXPECT_EQ(await(Uploader::upload(file)).message<UploaderError>(),
              u"Invalid or missing upload token"_s);
    Config::shared().setToken(token);

    HttpResponse answer = request(
        "POST", u"/api/upload"_s,
        {{"Authorization", "Bearer " + token.toUtf8()}, {"Content-Type", "text/plain"}}, "hello");
    EXPECT_EQ(answer.status, 400);
    EXPECT_FALSE(error(answer).isEmpty());
    answer = request("POST", u"/api/upload"_s,
                     {{"Authorization", "Bearer " + token.toUtf8()},
                      {"Content-Type", "multipart/form-data; boundary=B"}},
                     "--B\r\nContent-Disposition: form-data; name=\"other\"\r\n\r\nx\r\n--B--\r\n");
    EXPECT_EQ(answer.status, 400);
    EXPECT_EQ(error(answer), u"Expected a part named \"file\""_s);

    answer = request("GET", u"/no/such/page"_s);
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(error(answer), u"Not found"_s);
    EXPECT_EQ(request("GET", u"/api/me"_s).status, 401);
    EXPECT_EQ(request("GET", u"/api/features"_s).status, 200)
        << "refused uploads leave connections usable";

    answer = request("GET", u"/api/features"_s, {{"X-Huge", QByteArray(20000, 'h')}});
    EXPECT_GE(answer.status, 400);
    EXPECT_FALSE(error(answer).isEmpty());
    EXPECT_TRUE(upload(file).id.size() > 0) << "still serving";
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
}

TEST_F(MediaServerTest, AccountFeaturesVersionsAndNowPlaying) {
    EXPECT_EQ(await(Uploader::verify(url, token)).value, u"ada"_s);
    ServerInfo info;
    await(info.refresh(true));
    ASSERT_TRUE(info.features());
    EXPECT_EQ(info.features()->size(), 7);
    EXPECT_EQ(info.dashboardURL(), QUrl(url + u"/dashboard/"_s));
    EXPECT_EQ(info.editorURL(u"x1"_s)->toString(), url + u"/dashboard/edit/?id=x1"_s);
    EXPECT_EQ(request("GET", u"/api/setup/versions"_s).body, "{}");

    const QString releases = test::testHome() + u"/releases"_s;
    QDir().mkpath(releases);
    for (const char* name :
         {"Shotlark-1.2.0-linux.zip", "Shotlark-1.10.0-linux.zip", "Shotlark-9.0.0-mac.zip"})
        writeTestFile(u"releases/"_s + QLatin1String(name), name);
    start({u"--features"_s, QString(), u"--releases"_s, releases});
    await(info.refresh(true));
    EXPECT_EQ(info.features(), QSet<QString>());

    const QJsonObject linux = QJsonDocument::fromJson(request("GET", u"/api/setup/versions"_s).body)
                                  .object()[u"linux"_s]
                                  .toObject();
    EXPECT_EQ(linux[u"version"_s].toString(), u"1.10.0"_s);
    EXPECT_EQ(request("GET", linux[u"url"_s].toString()).body, "Shotlark-1.10.0-linux.zip");

    const QByteArray bearer = "Bearer " + token.toUtf8();
    EXPECT_EQ(
        request(
            "POST", u"/api/me/now-playing"_s,
            {{"Authorization", bearer}, {"Content-Type", "application/json"}},
            R"({"playing":true,"title":"<Song>","artist":"Band","album":"","source":"Spotify"})")
            .status,
        200);
    HttpResponse page = request("GET", u"/@ada"_s);
    EXPECT_TRUE(page.body.contains("&lt;Song&gt;</strong> by Band · Spotify")) << page.body;
    request("POST", u"/api/me/now-playing"_s, {{"Authorization", bearer}}, R"({"playing":false})");
    EXPECT_TRUE(request("GET", u"/@ada"_s).body.contains("Not playing"));
    EXPECT_EQ(
        request("POST", u"/api/me/now-playing"_s, {{"Authorization", bearer}}, "{oops").status,
        400);
    EXPECT_EQ(request("POST", u"/api/me/now-playing"_s, {}, R"({"playing":false})").status, 401);
}

TEST_F(MediaServerTest, FileNamesAreSanitised) {
    const QByteArray bearer = "Bearer " + token.toUtf8();
    const std::pair<QByteArray, QString> cases[] = {
        {"../../etc/passwd", u"passwd"_s},
        {"..\\..\\boot.ini", u"boot.ini"_s},
        {".bashrc", u"bashrc"_s},
        {"...", u"upload"_s},
        {"tab\there.png", u"tabhere.png"_s},
    };
    for (const auto& [sent, stored] : cases) {
        const HttpResponse answer = request(
            "POST", u"/api/upload"_s,
            {{"Authorization", bearer}, {"Content-Type", "multipart/form-data; boundary=XyZ"}},
            "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + sent +
                "\"\r\nContent-Type: application/octet-stream\r\n\r\ndata\r\n--XyZ--\r\n");
        ASSERT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(UploadResult::decode(answer.body)->name, stored) << sent;
    }
    for (const QString& file : filesIn(u"files"_s))
        EXPECT_FALSE(file.contains(u'.')) << "stored by id only";
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
        const QString fds = u"/proc/%1/fd/"_s.arg(server->pid());
        for (const QString& fd : QDir(fds).entryList(QDir::AllEntries | QDir::System)) {
            char target[4096] = {};
            if (::readlink(QFile::encodeName(fds + fd).constData(), target, sizeof target - 1) >
                    0 &&
                QFile::decodeName(target).startsWith(dataDir + u"/tmp/"_s))
                return true;
        }
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(spooling, 5000)) << "the body is streamed to a temporary file";
    // Adding a user meanwhile leaves the server's temporary files alone.
    EXPECT_TRUE(createUser(u"bob"_s).startsWith(u"slk_"_s));
    EXPECT_EQ(filesIn(u"tmp"_s).size(), 1);
    socket.abort();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !spooling(); }, 10000));
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
    EXPECT_TRUE(filesIn(u"files"_s).isEmpty());
}

TEST_F(MediaServerTest, DashboardShowsOnlyYourOwnUploadsSafely) {
    const QString other = createUser(u"bob"_s);
    const UploadResult mine = upload(writeTestFile(u"<img src=x onerror=alert(1)>.png"_s, "m"));
    Config::shared().setToken(other);
    const UploadResult theirs = upload(writeTestFile(u"bobs-secret.png"_s, "b"));
    Config::shared().setToken(token);

    EXPECT_EQ(
        request("POST", u"/dashboard/login"_s,
                {{"Content-Type", "application/x-www-form-urlencoded"}, {"Origin", url.toUtf8()}},
                "token=slk_nope")
            .status,
        401);
    const QByteArray cookie = signIn(token);
    const HttpResponse list = request("GET", u"/dashboard/"_s, {{"Cookie", cookie}});
    EXPECT_TRUE(list.body.contains(("/u/" + mine.id).toUtf8()));
    EXPECT_TRUE(list.body.contains("&lt;img src=x onerror=alert(1)&gt;.png"));
    EXPECT_FALSE(list.body.contains("<img src=x"));
    EXPECT_FALSE(list.body.contains("bobs-secret"));
    EXPECT_FALSE(request("GET", u"/dashboard/"_s).body.contains("/u/"))
        << "signed out: a sign-in form";

    const HttpResponse setup = request("GET", u"/dashboard/setup/"_s, {{"Cookie", cookie}});
    const QByteArray link = "shotlark://configure?server=" + QUrl::toPercentEncoding(url) +
                            "&amp;token=" + QUrl::toPercentEncoding(token);
    EXPECT_TRUE(setup.body.contains(link)) << setup.body;

    const HttpResponse editor =
        request("GET", u"/dashboard/edit/?id="_s + mine.id, {{"Cookie", cookie}});
    EXPECT_EQ(editor.status, 200);
    EXPECT_TRUE(editor.body.contains("Edit &lt;img src=x"));
    EXPECT_EQ(request("GET", u"/dashboard/edit/?id="_s + theirs.id, {{"Cookie", cookie}}).status,
              404);

    const QByteArray csrf = [&] {
        const qsizetype at = list.body.indexOf("name=\"csrf\" value=\"") + 19;
        return list.body.mid(at, list.body.indexOf('"', at) - at);
    }();
    const QList<std::pair<QByteArray, QByteArray>> form = {
        {"Cookie", cookie}, {"Content-Type", "application/x-www-form-urlencoded"}};
    EXPECT_EQ(
        request("POST", u"/dashboard/delete"_s, form, "id=" + mine.id.toUtf8() + "&csrf=forged")
            .status,
        403);
    EXPECT_EQ(
        request("POST", u"/dashboard/delete"_s, form, "id=" + theirs.id.toUtf8() + "&csrf=" + csrf)
            .status,
        404);
    EXPECT_EQ(
        request("POST", u"/dashboard/delete"_s, form, "id=" + mine.id.toUtf8() + "&csrf=" + csrf)
            .status,
        303);
    EXPECT_EQ(request("GET", mine.url).status, 404);
    EXPECT_EQ(request("GET", theirs.url).status, 200);
}

// The Setup page's custom uploader file, read by the app's own importer and used as any other
// upload server: the same file works in other tools.
TEST_F(MediaServerTest, ItsCustomUploaderFileUploadsHere) {
    const QByteArray cookie = signIn(token);
    const HttpResponse setup = request("GET", u"/dashboard/setup/"_s, {{"Cookie", cookie}});
    const qsizetype at = setup.body.indexOf("name=\"csrf\" value=\"") + 19;
    const QByteArray csrf = setup.body.mid(at, setup.body.indexOf('"', at) - at);
    ASSERT_TRUE(setup.body.contains("Download .sxcu"));
    const QList<std::pair<QByteArray, QByteArray>> form = {
        {"Cookie", cookie}, {"Content-Type", "application/x-www-form-urlencoded"}};
    EXPECT_EQ(request("POST", u"/dashboard/setup/shotlark.sxcu"_s, form, "csrf=forged").status,
              403);
    EXPECT_EQ(request("POST", u"/dashboard/setup/shotlark.sxcu"_s,
                      {{"Content-Type", "application/x-www-form-urlencoded"}}, "csrf=" + csrf)
                  .status,
              401);
    const HttpResponse file =
        request("POST", u"/dashboard/setup/shotlark.sxcu"_s, form, "csrf=" + csrf);
    ASSERT_EQ(file.status, 200);
    EXPECT_EQ(file.header("Content-Disposition"), "attachment; filename=\"127.0.0.1.sxcu\"");

    const CustomUploader uploader = CustomUploader::parse(file.body);
    EXPECT_EQ(uploader.displayName(), u"Shotlark (127.0.0.1)"_s);
    const auto sent = await(uploader.upload(writeTestFile(u"via sxcu.png"_s, "\x89PNG...")));
    ASSERT_TRUE(sent.value) << sent.message();
    EXPECT_EQ(request("GET", sent.value->url).status, 200);
    EXPECT_TRUE(sent.value->deletionURL.startsWith(url + u"/delete/"_s));
    EXPECT_TRUE(sent.value->thumbnailURL.startsWith(url + u"/t/"_s));
}
