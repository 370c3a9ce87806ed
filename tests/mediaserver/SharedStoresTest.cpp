// Several reference servers on one PostgreSQL database and one S3 bucket (as
// tests/support/shared-stores.sh starts them): any server serves, converts, signs in and deletes
// what another stored; behind nginx and Caddy configured as shipped, a server killed mid-upload
// costs only its own upload; the sweep, refusals and deletions leave nothing behind; a folder
// server is copied over, resumably, and left as it was.
#include "MediaServerFixture.h"
#include "Movies.h"
#include "store/History.h"
#include "support/ChildProcess.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"

#include <QCryptographicHash>
#include <QImage>
#include <QTcpServer>

#include <csignal>

namespace {

// A port nothing listens on now.
quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray patterned(qsizetype size) {
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919) >> 3);
    return bytes;
}

// Every file under `dir` with its SHA-256; but SQLite's shared-memory index, which every reader
// of a database in WAL mode writes its read marks in.
QMap<QString, QByteArray> fingerprint(const QString& dir) {
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(u"-shm"_s))
            continue;
        files[QDir(dir).relativeFilePath(path)] =
            QCryptographicHash::hash(readTestFile(path), QCryptographicHash::Sha256).toHex();
    }
    return files;
}

// A proxy configuration as shipped, with its placeholders made this test's.
QString shipped(const QString& name) {
    return QString::fromUtf8(
        readTestFile(QStringLiteral(SHOTLARK_SOURCE_DIR) + u"/packaging/proxy/"_s + name));
}

} // namespace

class SharedStoresTest : public MediaServerTest {
protected:
    void SetUp() override {
        if (!SharedStores::fromEnvironment())
            GTEST_SKIP() << "runs on the shared_stores fixture";
        MediaServerTest::SetUp();
        other = startServer(u"server-b"_s, &otherUrl);
        ASSERT_TRUE(other);
    }

    // Another server on the same rows and files, with a folder of its own.
    std::unique_ptr<ChildProcess> startServer(const QString& folder, QString* address,
                                              const QStringList& extra = {}) {
        return startAndReadLine(QStringList{serverBinary, u"--data"_s, testHome() + u'/' + folder,
                                            u"--listen"_s, u"127.0.0.1:0"_s, u"--ready-fd"_s,
                                            u"{fd}"_s} +
                                    storeOptions + extra,
                                address);
    }

    QStringList rows(const QString& sql) const { return shared->sql(storeName, sql); }
    // `link` (a path, and a query when it has one) on `server`.
    QString at(const QString& server, const QString& link) const {
        const QUrl parsed(link);
        return server + parsed.path(QUrl::FullyEncoded) +
               (parsed.hasQuery() ? u'?' + parsed.query(QUrl::FullyEncoded) : QString());
    }

    // Bytes larger than the app's client takes, by the curl tool.
    static QByteArray fetch(const QString& address, const QString& range = {},
                            const QString& authority = {}) {
        QProcess curl;
        QStringList arguments{u"-s"_s, address};
        if (!range.isEmpty())
            arguments << u"-r"_s << range;
        if (!authority.isEmpty())
            arguments << u"--cacert"_s << authority;
        curl.start(u"curl"_s, arguments);
        EXPECT_TRUE(curl.waitForFinished(30000));
        return curl.readAllStandardOutput();
    }

    QString otherUrl;
    std::unique_ptr<ChildProcess> other;
};

TEST_F(SharedStoresTest, AnyServerServesConvertsSignsInAndDeletesWhatAnotherStored) {
    // A picture stored through the first server: the second serves its page, bytes, a range
    // and the thumbnail, which is made once and then served by either.
    QImage image(320, 200, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QString pictureFile = testHome() + u"/shot.png"_s;
    ASSERT_TRUE(image.save(pictureFile));
    const QByteArray picture = readTestFile(pictureFile);
    const UploadResult shot = upload(pictureFile);
    ASSERT_FALSE(shot.id.isEmpty());
    EXPECT_EQ(request("GET", at(otherUrl, shot.url)).status, 200);
    EXPECT_EQ(request("GET", at(otherUrl, shot.rawURL)).body, picture);
    const HttpResponse part = request("GET", at(otherUrl, shot.rawURL), {{"Range", "bytes=10-59"}});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, picture.mid(10, 50));
    const QByteArray thumbnail = request("GET", at(otherUrl, shot.thumbnailURL)).body;
    EXPECT_EQ(QImage::fromData(thumbnail, "PNG").size(), QSize(320, 200));
    EXPECT_EQ(request("GET", at(url, shot.thumbnailURL)).body, thumbnail);
    EXPECT_EQ(filesIn(u"thumbs"_s), QStringList{shot.id + u".png"_s});

    // A file of several parts goes up as a multipart upload and comes back whole and in ranges.
    const QByteArray large = patterned(20 * 1024 * 1024 + 12345);
    const UploadResult big = upload(writeTestFile(u"big.bin"_s, large));
    ASSERT_FALSE(big.id.isEmpty());
    EXPECT_TRUE(fetch(at(otherUrl, big.rawURL)) == large);
    EXPECT_TRUE(fetch(at(otherUrl, big.rawURL), u"-100000"_s) == large.right(100000));
    // Across the pieces the server reads from the storage at a time.
    EXPECT_TRUE(fetch(at(otherUrl, big.rawURL), u"4194000-12583000"_s) ==
                large.mid(4194000, 12583000 - 4194000 + 1));

    // A GIF converted by the second server and a replay joined by the first, each served by
    // the other.
    Config::shared().setString(keys::server, otherUrl);
    auto gif = await(Uploader::upload(makeSegment(u"Recording.mp4"_s, 2), u"gif"_s));
    ASSERT_FALSE(gif.error) << gif.message();
    Config::shared().setString(keys::server, url);
    EXPECT_EQ(request("GET", at(url, gif.value->rawURL)).header("Content-Type"), "image/gif");
    auto replay =
        await(Uploader::uploadReplay({makeSegment(u"a.mp4"_s, 2), makeSegment(u"b.mp4"_s, 2)}, 30));
    ASSERT_FALSE(replay.error) << replay.message();
    const Probed joined = probe(
        writeTestFile(u"joined.mp4"_s, request("GET", at(otherUrl, replay.value->rawURL)).body));
    EXPECT_NEAR(joined.duration, 4.0, 0.1);

    // Signed in on one, the dashboard of the other knows the browser; a one-time link asked of
    // one is taken once, on whichever the browser reaches.
    const QByteArray cookie = signIn(token);
    const HttpResponse dashboard =
        request("GET", otherUrl + u"/dashboard/"_s, {{"Cookie", cookie}});
    ASSERT_TRUE(dashboard.body.contains(shot.id.toUtf8())) << dashboard.body;
    const QByteArray link =
        QJsonDocument::fromJson(request("POST", otherUrl + u"/api/sign-in-link"_s,
                                        {{"Authorization", "Bearer " + token.toUtf8()},
                                         {"Content-Type", "application/json"}},
                                        "{}")
                                    .body)
            .object()
            .value(u"url"_s)
            .toString()
            .toUtf8();
    ASSERT_FALSE(link.isEmpty());
    EXPECT_EQ(request("GET", at(url, QString::fromUtf8(link))).status, 303);
    EXPECT_EQ(request("GET", at(otherUrl, QString::fromUtf8(link))).status, 403);

    // Deleted through the second server's dashboard: gone from both, from the bucket and from
    // the table; a deletion link used on both servers at once deletes once.
    const qsizetype csrfAt = dashboard.body.indexOf("name=\"csrf\" value=\"") + 19;
    const QByteArray csrf =
        dashboard.body.mid(csrfAt, dashboard.body.indexOf('"', csrfAt) - csrfAt);
    EXPECT_EQ(request("POST", otherUrl + u"/dashboard/delete"_s,
                      {{"Cookie", cookie},
                       {"Origin", otherUrl.toUtf8()},
                       {"Content-Type", "application/x-www-form-urlencoded"}},
                      "id=" + shot.id.toUtf8() + "&csrf=" + csrf)
                  .status,
              303);
    EXPECT_EQ(request("GET", at(url, shot.rawURL)).status, 404);
    EXPECT_FALSE(filesIn(u"files"_s).contains(shot.id));
    EXPECT_TRUE(filesIn(u"thumbs"_s).isEmpty());
    EXPECT_FALSE(rows(u"SELECT id FROM uploads"_s).contains(shot.id));
    auto first = std::make_unique<QProcess>(), second = std::make_unique<QProcess>();
    first->start(u"curl"_s, {u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{http_code}"_s,
                             at(url, big.deletionURL)});
    second->start(u"curl"_s, {u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{http_code}"_s,
                              at(otherUrl, big.deletionURL)});
    ASSERT_TRUE(first->waitForFinished(10000) && second->waitForFinished(10000));
    QStringList statuses{QString::fromUtf8(first->readAllStandardOutput()),
                         QString::fromUtf8(second->readAllStandardOutput())};
    statuses.sort();
    EXPECT_EQ(statuses, (QStringList{u"200"_s, u"404"_s}));
    EXPECT_FALSE(filesIn(u"files"_s).contains(big.id));
    EXPECT_EQ(rows(u"SELECT COUNT(*) FROM uploads"_s), QStringList{u"2"_s});
    EXPECT_TRUE(rows(u"SELECT key FROM pending"_s).isEmpty());
}

TEST_F(SharedStoresTest, BehindNginxAServerKilledMidUploadCostsOnlyThatUpload) {
    // nginx as shipped, over TLS, before the two servers.
    const TlsIdentity tls = TlsIdentity::make(testHome(), u"proxy"_s);
    const quint16 port = freePort();
    QString site = shipped(u"nginx-shotlark.conf"_s);
    const QString upstreams =
        u"server %1 max_fails=1 fail_timeout=10s;\n    server %2 "
        "max_fails=1 fail_timeout=10s;"_s.arg(QUrl(url).authority(), QUrl(otherUrl).authority());
    site.replace(QRegularExpression(u"server 127\\.0\\.0\\.1:8477[^\\n]*\\n\\s*server "
                                    "127\\.0\\.0\\.1:8478[^;]*;"_s),
                 upstreams);
    site.replace(QRegularExpression(u"server \\{\\s*listen 80;.*?\\}\\n"_s,
                                    QRegularExpression::DotMatchesEverythingOption),
                 QString());
    site.replace(u"listen 443 ssl http2;"_s, u"listen 127.0.0.1:%1 ssl;"_s.arg(port));
    site.replace(u"listen [::]:443 ssl http2;"_s, QString());
    site.replace(u"/etc/letsencrypt/live/media.example.org/fullchain.pem"_s, tls.certificateFile);
    site.replace(u"/etc/letsencrypt/live/media.example.org/privkey.pem"_s, tls.keyFile);
    site.replace(u"media.example.org"_s, u"127.0.0.1"_s);
    const QString root = testHome() + u"/nginx"_s;
    QDir().mkpath(root);
    writeTestFile(u"nginx/shotlark.conf"_s, site.toUtf8());
    writeTestFile(u"nginx/nginx.conf"_s,
                  (u"%1daemon off; pid %2/nginx.pid; error_log %2/error.log;\n"
                   "events {}\n"
                   "http {\n"
                   "  log_format upstream '$request_uri $status $upstream_addr';\n"
                   "  access_log %2/access.log upstream;\n"
                   "  client_body_temp_path %2/body; proxy_temp_path %2/proxy;\n"
                   "  include %2/shotlark.conf;\n"
                   "}\n"_s)
                      .arg(::geteuid() == 0 ? u"user root;\n"_s : QString(), root)
                      .toUtf8());
    const auto nginx = ChildProcess::start(
        {u"/usr/sbin/nginx"_s, u"-c"_s, root + u"/nginx.conf"_s, u"-p"_s, root});
    const QString proxy = u"https://127.0.0.1:%1"_s.arg(port);
    const auto curl = [&](QStringList arguments) {
        return run(QStringList{u"curl"_s, u"-s"_s, u"--cacert"_s, tls.certificateFile, u"-w"_s,
                               u"\n%{http_code}"_s} +
                       arguments,
                   60000);
    };
    const auto uploadArguments = [&](const QString& file) {
        return QStringList{u"-H"_s, u"Authorization: Bearer "_s + token, u"-F"_s,
                           u"file=@"_s + file, proxy + u"/api/upload"_s};
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return curl({proxy + u"/api/features"_s}).out.endsWith(u"200"_s); }, 10000));

    // Uploads through the proxy reach both servers, and come back through it.
    const QString small = writeTestFile(u"small.bin"_s, patterned(300000));
    for (int i = 0; i < 4; ++i) {
        const Ran sent = curl(uploadArguments(small));
        ASSERT_TRUE(sent.out.endsWith(u"200"_s)) << sent.out;
        const auto answer = UploadResult::decode(sent.out.chopped(4).toUtf8());
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->url.startsWith(url) || answer->url.startsWith(otherUrl));
        EXPECT_EQ(curl({u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{size_download} "_s,
                        proxy + path(answer->rawURL)})
                      .out.section(u' ', 0, 0),
                  u"300000"_s);
    }
    const QString access = QString::fromUtf8(readTestFile(root + u"/access.log"_s));
    EXPECT_TRUE(access.contains(QUrl(url).authority()) &&
                access.contains(QUrl(otherUrl).authority()))
        << access;

    // Two slow uploads, one on each server; the server of the first is killed while its body
    // arrives. The other upload completes, and the first, sent again, goes to the live server.
    const QString slow = writeTestFile(u"slow.bin"_s, patterned(1200000));
    const auto slowUpload = [&] {
        auto process = std::make_unique<QProcess>();
        process->start(u"curl"_s,
                       QStringList{u"-s"_s, u"--cacert"_s, tls.certificateFile, u"--limit-rate"_s,
                                   u"250k"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{http_code}"_s} +
                           uploadArguments(slow));
        return process;
    };
    const auto receiving = [&](const QString& folder) {
        return !QDir(folder + u"/tmp"_s).entryList(QDir::Files).isEmpty();
    };
    auto firstUpload = slowUpload();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return receiving(dataDir) || receiving(testHome() + u"/server-b"_s); }, 10000));
    const bool firstOnA = receiving(dataDir);
    auto secondUpload = slowUpload();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return receiving(dataDir) && receiving(testHome() + u"/server-b"_s); }, 10000));
    ::kill((firstOnA ? server : other)->pid(), SIGKILL);
    ASSERT_TRUE(secondUpload->waitForFinished(30000));
    EXPECT_EQ(secondUpload->readAllStandardOutput(), "200");
    ASSERT_TRUE(firstUpload->waitForFinished(30000));
    EXPECT_NE(firstUpload->readAllStandardOutput(), "200");
    const Ran again = curl(uploadArguments(slow));
    EXPECT_TRUE(again.out.endsWith(u"200"_s)) << again.out;

    // Refused requests store nothing: a wrong token, a "GIF" that is no movie.
    EXPECT_TRUE(curl({u"-H"_s, u"Authorization: Bearer slk_wrong"_s, u"-F"_s, u"file=@"_s + small,
                      proxy + u"/api/upload"_s})
                    .out.endsWith(u"401"_s));
    EXPECT_TRUE(curl(QStringList{u"-H"_s, u"X-Convert: gif"_s} + uploadArguments(small))
                    .out.endsWith(u"400"_s));

    // The killed server starts again and sweeps its folder; six uploads are in the table and
    // the bucket, and nothing else.
    if (firstOnA)
        start();
    else
        other = startServer(u"server-b"_s, &otherUrl);
    EXPECT_TRUE(QDir(dataDir + u"/tmp"_s).isEmpty());
    EXPECT_TRUE(QDir(testHome() + u"/server-b/tmp"_s).isEmpty());
    QStringList stored = rows(u"SELECT id FROM uploads"_s), objects = filesIn(u"files"_s);
    stored.sort();
    objects.sort();
    EXPECT_EQ(stored.size(), 6);
    EXPECT_EQ(objects, stored);
    EXPECT_TRUE(rows(u"SELECT key FROM pending"_s).isEmpty());
}

TEST_F(SharedStoresTest, TheSweepTakesOrphansButNotWhatAnotherServerIsStoring) {
    const QString file = writeTestFile(u"a.bin"_s, patterned(1000));
    const UploadResult orphan = upload(file), inFlight = upload(file), kept = upload(file);
    // As a server that died between storing a file and its row would leave them; and as a
    // server that is storing one right now shows it.
    rows(u"DELETE FROM uploads WHERE id IN ('%1', '%2')"_s.arg(orphan.id, inFlight.id));
    rows(u"INSERT INTO pending VALUES ('files/%1', EXTRACT(EPOCH FROM now())::bigint)"_s.arg(
        inFlight.id));
    QString third;
    auto sweeper = startServer(u"server-c"_s, &third);
    ASSERT_TRUE(sweeper);
    QStringList left = filesIn(u"files"_s);
    left.sort();
    QStringList expected{inFlight.id, kept.id};
    expected.sort();
    EXPECT_EQ(left, expected);

    // A day later, the pending file is taken for a crash too.
    rows(u"UPDATE pending SET created = created - 2 * 86400"_s);
    sweeper = startServer(u"server-d"_s, &third);
    EXPECT_EQ(filesIn(u"files"_s), QStringList{kept.id});
    EXPECT_TRUE(rows(u"SELECT key FROM pending"_s).isEmpty());

    // A folder is one server's: a second server on it is refused with the reason.
    const Ran twice = run(QStringList{serverBinary, u"--data"_s, testHome() + u"/server-d"_s,
                                      u"--listen"_s, u"127.0.0.1:0"_s} +
                              storeOptions,
                          10000);
    EXPECT_EQ(twice.exitCode, 1);
    EXPECT_TRUE(twice.err.contains(u"each server needs a --data folder of its own"_s)) << twice.err;
}

TEST_F(SharedStoresTest, StorageKeysAndPasswordsAreNeverTakenFromTheCommandLine) {
    const auto refusal = [&](const QStringList& options) {
        const Ran ran = run(QStringList{serverBinary, u"--data"_s, testHome() + u"/refused"_s,
                                        u"--create-user"_s, u"eve"_s} +
                                options,
                            10000);
        EXPECT_NE(ran.exitCode, 0);
        return ran.err;
    };
    const QString database = shared->database(storeName);
    const QString storage = shared->storage(storeName);
    EXPECT_TRUE(
        refusal({u"--database"_s, QString(database).replace(u"shotlark@"_s, u"shotlark:pw@"_s),
                 u"--storage"_s, storage})
            .contains(u"PGPASSWORD"_s));
    EXPECT_TRUE(refusal({u"--database"_s, shared->database(storeName), u"--storage"_s,
                         QString(storage).replace(u"s3://"_s, u"s3://S3RVER:S3RVER@"_s)})
                    .contains(u"carries keys"_s));
    EXPECT_TRUE(refusal({u"--database"_s, shared->database(storeName), u"--storage"_s,
                         QString(storage).replace(u"s3://shotlark"_s, u"s3://nobucket"_s)})
                    .contains(u"NoSuchBucket"_s));

    // Keys in a file only its owner reads; another mode is refused.
    const QString keys = writeTestFile(
        u"keys"_s, "[default]\naws_access_key_id = S3RVER\naws_secret_access_key = S3RVER\n");
    QFile::setPermissions(keys, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                    QFile::ReadOther);
    const QStringList withFile{u"--database"_s, shared->database(storeName), u"--storage"_s,
                               storage,         u"--storage-credentials"_s,  keys};
    EXPECT_TRUE(refusal(withFile).contains(u"chmod 600"_s));
    QFile::setPermissions(keys, QFile::ReadOwner | QFile::WriteOwner);
    qunsetenv("AWS_ACCESS_KEY_ID");
    qunsetenv("AWS_SECRET_ACCESS_KEY");
    EXPECT_TRUE(refusal({u"--database"_s, shared->database(storeName), u"--storage"_s, storage})
                    .contains(u"no storage keys"_s));
    const Ran created = run(QStringList{serverBinary, u"--data"_s, testHome() + u"/keys-ok"_s,
                                        u"--create-user"_s, u"eve"_s} +
                                withFile,
                            10000);
    EXPECT_EQ(created.exitCode, 0) << created.err;
    EXPECT_TRUE(created.out.startsWith(u"slk_"_s));
}

TEST_F(SharedStoresTest, StorageThatRefusesAFileLosesNothingAndSaysSo) {
    // Storage that lists the bucket, then refuses what is sent to it, as one that is full or
    // overloaded does; and one that answers nothing S3 would.
    TestHttpServer storage;
    QByteArray refusal = "<Error><Code>SlowDown</Code><Message>Reduce your request "
                         "rate.</Message></Error>";
    storage.setHandler([&](const RecordedRequest& asked) -> CannedResponse {
        if (asked.method == "GET" && asked.target.contains("list-type=2"))
            return {200, "<ListBucketResult><IsTruncated>false</IsTruncated></ListBucketResult>",
                    "application/xml"};
        if (asked.method == "POST" && asked.target.endsWith("?uploads="))
            return {200,
                    "<InitiateMultipartUploadResult><UploadId>u-1</UploadId>"
                    "</InitiateMultipartUploadResult>",
                    "application/xml"};
        if (asked.method == "DELETE")
            return {204, {}, "application/xml"};
        return {503, refusal, "application/xml"};
    });
    // Started without blocking: the storage answers its first request on this thread.
    QProcess failing;
    failing.start(serverBinary,
                  {u"--data"_s, testHome() + u"/refused"_s, u"--listen"_s, u"127.0.0.1:0"_s,
                   u"--database"_s, shared->database(storeName), u"--storage"_s,
                   u"s3://shotlark?endpoint=%1&prefix=%2"_s.arg(storage.url(), storeName)});
    ASSERT_TRUE(QTest::qWaitFor([&] { return failing.canReadLine(); }, 20000))
        << failing.readAllStandardError().toStdString();
    const QString refusing = QString::fromUtf8(failing.readLine().trimmed()).section(u' ', -1);
    Config::shared().setString(keys::server, refusing);
    const QString small = writeTestFile(u"small.bin"_s, patterned(1000));
    const QString large = writeTestFile(u"large.bin"_s, patterned(9 * 1024 * 1024));
    for (const QString& file : {small, large}) {
        const auto outcome = await(Uploader::upload(file));
        EXPECT_EQ(outcome.message<UploaderError>(), u"can't store the file"_s);
    }
    refusal = "<html>Bad gateway</html>";
    EXPECT_FALSE(await(Uploader::upload(small)).message<UploaderError>().isEmpty());
    // The multipart upload that was begun is aborted, not left half in the bucket.
    EXPECT_TRUE(std::any_of(
        storage.requests().begin(), storage.requests().end(), [](const RecordedRequest& asked) {
            return asked.method == "DELETE" && asked.target.endsWith("?uploadId=u-1");
        }));
    EXPECT_TRUE(rows(u"SELECT id FROM uploads"_s).isEmpty());
    EXPECT_TRUE(rows(u"SELECT key FROM pending"_s).isEmpty());
    EXPECT_TRUE(QDir(testHome() + u"/refused/tmp"_s).isEmpty());
}

TEST_F(SharedStoresTest, MigrationCopiesAFolderServerResumablyAndLeavesItAsItWas) {
    // A server on its own folder, with three uploads (one of several parts) and a song.
    const QString source = testHome() + u"/folder-server"_s;
    const Ran created =
        run({serverBinary, u"--data"_s, source, u"--create-user"_s, u"ada"_s}, 10000);
    const QString oldToken = created.out.trimmed();
    QString oldUrl;
    auto folderServer = startAndReadLine({serverBinary, u"--data"_s, source, u"--listen"_s,
                                          u"127.0.0.1:0"_s, u"--ready-fd"_s, u"{fd}"_s},
                                         &oldUrl);
    ASSERT_TRUE(folderServer);
    Config::shared().setString(keys::server, oldUrl);
    Config::shared().setToken(oldToken);
    const QList<QByteArray> contents{patterned(5000), patterned(9 * 1024 * 1024), "third\n"};
    QList<UploadResult> uploads;
    for (int i = 0; i < contents.size(); ++i)
        uploads << upload(writeTestFile(u"file%1.bin"_s.arg(i), contents[i]));
    EXPECT_EQ(request("POST", oldUrl + u"/api/me/now-playing"_s,
                      {{"Authorization", "Bearer " + oldToken.toUtf8()},
                       {"Content-Type", "application/json"}},
                      R"({"playing":true,"title":"Song","artist":"Band","album":"","source":"X"})")
                  .status,
              200);
    folderServer.reset(); // stopped as a person would stop it
    const QMap<QString, QByteArray> before = fingerprint(source);

    // The second file damaged: the copy stops there with the reason, the first copied.
    const QString target = storeName + u"_m"_s;
    const QStringList into = shared->create(target);
    const QStringList migrate{serverBinary,       u"migrate"_s, u"--from"_s,       source,
                              u"--to-database"_s, into[1],      u"--to-storage"_s, into[3]};
    const QString second = source + u"/files/"_s + uploads[1].id;
    writeTestFile(second + u".good"_s, readTestFile(second));
    {
        QFile damaged(second);
        ASSERT_TRUE(damaged.open(QIODevice::Append));
        damaged.write("x");
    }
    Ran ran = run(migrate, 60000);
    EXPECT_EQ(ran.exitCode, 1);
    EXPECT_TRUE(ran.err.contains(u"its row says"_s)) << ran.err;
    EXPECT_TRUE(ran.out.contains(u"1 uploads copied"_s)) << ran.out;
    QFile::remove(second);
    QFile::rename(second + u".good"_s, second);

    // Run again, it goes on where it stopped; the folder is as it was.
    ran = run(migrate, 60000);
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_TRUE(ran.out.contains(u"2 uploads copied"_s) && ran.out.contains(u"1 already there"_s))
        << ran.out;
    EXPECT_EQ(fingerprint(source), before);

    // A server on the copy: the same token, links, bytes, deletion links and song.
    QString copyUrl;
    auto copyServer =
        startAndReadLine(QStringList{serverBinary, u"--data"_s, testHome() + u"/copy-server"_s,
                                     u"--listen"_s, u"127.0.0.1:0"_s, u"--ready-fd"_s, u"{fd}"_s} +
                             into,
                         &copyUrl);
    ASSERT_TRUE(copyServer);
    for (int i = 0; i < uploads.size(); ++i)
        EXPECT_EQ(request("GET", at(copyUrl, uploads[i].rawURL)).body, contents[i]) << i;
    EXPECT_EQ(
        request("GET", copyUrl + u"/api/me"_s, {{"Authorization", "Bearer " + oldToken.toUtf8()}})
            .status,
        200);
    EXPECT_TRUE(request("GET", copyUrl + u"/@ada"_s).body.contains("Song"));
    EXPECT_EQ(request("GET", at(copyUrl, uploads[0].deletionURL)).status, 200);
    EXPECT_EQ(request("GET", at(copyUrl, uploads[0].rawURL)).status, 404);
    // A user made there later gets an id of its own.
    EXPECT_TRUE(run(QStringList{serverBinary, u"--data"_s, testHome() + u"/copy-server"_s,
                                u"--create-user"_s, u"bob"_s} +
                        into,
                    10000)
                    .out.startsWith(u"slk_"_s));
}

// The app, as users run it, against two servers behind Caddy configured as shipped, over TLS
// with a certificate of the test's own.
TEST_F(SharedStoresTest, TheAppUploadsThroughCaddyOverTls) {
    const TlsIdentity tls = TlsIdentity::make(testHome(), u"caddy"_s);
    const quint16 port = freePort();
    const QString proxy = u"https://127.0.0.1:%1"_s.arg(port);
    // Their links are the proxy's; they listen where only the proxy is told.
    server.reset();
    other.reset();
    const QString first = u"127.0.0.1:%1"_s.arg(freePort()),
                  second = u"127.0.0.1:%1"_s.arg(freePort());
    ASSERT_NO_FATAL_FAILURE(start({u"--listen"_s, first, u"--public-url"_s, proxy}));
    other =
        startServer(u"server-b"_s, &otherUrl, {u"--listen"_s, second, u"--public-url"_s, proxy});
    ASSERT_TRUE(other);
    QString site = shipped(u"Caddyfile"_s);
    site.replace(u"media.example.org {"_s,
                 u"{\n\tadmin off\n\tstorage file_system %1/caddy\n}\n%2 {\n\ttls %3 %4"_s.arg(
                     testHome(), proxy, tls.certificateFile, tls.keyFile));
    site.replace(u"reverse_proxy 127.0.0.1:8477 127.0.0.1:8478"_s,
                 u"reverse_proxy %1 %2"_s.arg(first, second));
    const QString caddyfile = writeTestFile(u"Caddyfile"_s, site.toUtf8());
    const auto caddy = ChildProcess::start({u"/bin/sh"_s, u"-c"_s,
                                            u"exec caddy run --adapter caddyfile --config \"$0\" "
                                            "2>\"$0.log\""_s,
                                            caddyfile});
    const auto viaCaddy = [&](const QStringList& arguments) {
        return run(QStringList{u"curl"_s, u"-s"_s, u"--cacert"_s, tls.certificateFile} + arguments,
                   20000);
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return viaCaddy({proxy + u"/api/features"_s}).out.contains(u"enabled"_s); }, 20000))
        << readTestFile(caddyfile + u".log"_s).right(3000).toStdString();

    TestNotificationServer notifications;
    TestTrayHost tray;
    ASSERT_TRUE(notifications.registerOnBus());
    ASSERT_TRUE(tray.registerOnBus());
    Config::shared().setString(keys::server, proxy);
    Config::shared().setToken(token);
    ::setenv("SSL_CERT_FILE", QFile::encodeName(tls.certificateFile).constData(), 1);
    auto app = ChildProcess::start({QStringLiteral(SHOTLARK_APP_BINARY)});
    ::unsetenv("SSL_CERT_FILE");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !tray.items().isEmpty(); }, 60000));

    QImage image(200, 120, QImage::Format_RGB32);
    image.fill(Qt::darkMagenta);
    const QString file = testHome() + u"/Through the proxy.png"_s;
    ASSERT_TRUE(image.save(file));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(run({QStringLiteral(SHOTLARK_APP_BINARY), file}, 10000).exitCode, 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.received.size() > i; }, 30000));
        EXPECT_EQ(notifications.received[i].summary, u"Uploaded, link copied"_s);
        const QString link = notifications.received[i].body;
        EXPECT_TRUE(link.startsWith(proxy + u"/u/"_s)) << link;
        EXPECT_EQ(run({u"xclip"_s, u"-selection"_s, u"clipboard"_s, u"-o"_s}, 5000).out, link);
        const QString page = viaCaddy({link}).out;
        const auto raw =
            QRegularExpression(u"href=\"(%1/r/[^\"]+)\""_s.arg(QRegularExpression::escape(proxy)))
                .match(page);
        ASSERT_TRUE(raw.hasMatch()) << page;
        EXPECT_TRUE(fetch(raw.captured(1), {}, tls.certificateFile) == readTestFile(file));
    }
    Config reread;
    EXPECT_EQ(History::entries(reread).size(), 2);
    EXPECT_EQ(rows(u"SELECT COUNT(*) FROM uploads"_s), QStringList{u"2"_s});
}
