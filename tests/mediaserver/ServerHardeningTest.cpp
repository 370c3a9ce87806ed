// The reference server against clients that misbehave on purpose: raw requests over loopback
// (byte ranges, trickled headers and bodies, cross-site sign-ins) and a disk that fills up.
#include "MediaServerFixture.h"
#include "support/Prelude.h"

#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <algorithm>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

struct RawAnswer {
    QByteArray raw; // everything the server sent
    int status = 0;
    QByteArray head;
    QByteArray body;

    QByteArray header(const QByteArray& name) const {
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return QByteArray();
    }
};

// Sends `request` as it stands on a new connection and reads until the server closes it.
RawAnswer exchange(quint16 port, const QByteArray& request, int ms = 5000) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    RawAnswer answer;
    if (!socket.waitForConnected(ms))
        return answer;
    socket.write(request);
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < ms) {
        socket.waitForReadyRead(100);
        answer.raw += socket.readAll();
    }
    answer.raw += socket.readAll();
    const qsizetype end = answer.raw.indexOf("\r\n\r\n");
    answer.head = answer.raw.left(end);
    answer.body = end < 0 ? QByteArray() : answer.raw.mid(end + 4);
    answer.status = answer.raw.mid(9, 3).toInt();
    return answer;
}

class ServerHardeningTest : public MediaServerTest {
protected:
    quint16 port() const { return static_cast<quint16>(QUrl(url).port()); }

    QByteArray get(const QString& path, const QByteArray& extraHeaders) const {
        return "GET " + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders +
               "Connection: close\r\n\r\n";
    }
};

} // namespace

TEST_F(ServerHardeningTest, OneByteRangeAtMostAndCorrectOnes) {
    const UploadResult twelve = upload(writeTestFile(u"twelve.bin"_s, "0123456789ab"));
    const QString raw = path(twelve.rawURL);
    struct Case {
        QByteArray range;
        int status;
        QByteArray contentRange;
        QByteArray body;
    };
    QByteArray manyRanges = "bytes=0-";
    for (int i = 0; i < 2000; ++i)
        manyRanges += ",0-";
    const std::vector<Case> cases = {
        {{}, 200, {}, "0123456789ab"},
        {"bytes=0-", 206, "bytes 0-11/12", "0123456789ab"},
        {"bytes=5-100", 206, "bytes 5-11/12", "56789ab"},
        {"bytes=3-3", 206, "bytes 3-3/12", "3"},
        {"bytes=-500", 206, "bytes 0-11/12", "0123456789ab"},
        {"bytes=-5", 206, "bytes 7-11/12", "789ab"},
        {"bytes=100-200", 416, "bytes */12", {}},
        {"bytes=12-", 416, "bytes */12", {}},
        {manyRanges, 200, {}, "0123456789ab"},
        {"bytes=0-1,4-5", 200, {}, "0123456789ab"},
        // Malformed, or in a unit we don't know: ignored, the whole file.
        {"items=0-3", 200, {}, "0123456789ab"},
        {"bytes=5-3", 200, {}, "0123456789ab"},
        {"bytes=abc", 200, {}, "0123456789ab"},
        {"bytes=", 200, {}, "0123456789ab"},
    };
    for (const Case& c : cases) {
        const QByteArray header = c.range.isEmpty() ? QByteArray() : "Range: " + c.range + "\r\n";
        const RawAnswer answer = exchange(port(), get(raw, header));
        const std::string label = c.range.left(40).toStdString();
        EXPECT_EQ(answer.status, c.status) << label;
        EXPECT_EQ(answer.header("Content-Range"), c.contentRange) << label;
        if (c.status != 416) {
            EXPECT_EQ(answer.body, c.body) << label;
            EXPECT_EQ(answer.header("Content-Length").toLongLong(), c.body.size()) << label;
        }
    }

    // An empty file: a length of 0, and the connection stays usable for the next request.
    const UploadResult empty = upload(writeTestFile(u"empty.bin"_s, ""));
    const QByteArray first =
        "GET " + path(empty.rawURL).toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const RawAnswer both = exchange(port(), first + get(raw, {}));
    EXPECT_EQ(both.status, 200);
    EXPECT_EQ(both.header("Content-Length"), "0");
    EXPECT_EQ(both.raw.count("HTTP/1.1 200"), 2) << both.raw;
    EXPECT_TRUE(both.raw.endsWith("0123456789ab"));
    EXPECT_EQ(exchange(port(), get(path(empty.rawURL), "Range: bytes=0-\r\n")).status, 416);
    // So does it after a page that isn't there.
    const RawAnswer afterMissing =
        exchange(port(), "GET /no/such/page HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + get(raw, {}));
    EXPECT_EQ(afterMissing.status, 404);
    EXPECT_TRUE(afterMissing.raw.endsWith("0123456789ab")) << afterMissing.raw;
}

TEST_F(ServerHardeningTest, TricklingClientsAreCutOffAndOthersServed) {
    start({u"--threads"_s, u"2"_s, u"--header-timeout"_s, u"1"_s, u"--body-grace"_s, u"1"_s,
           u"--body-min-rate"_s, u"1000"_s});
    HttpClient::shared().setLimits({6, 8s, 10s});

    // More tricklers than threads: each sends a header byte every 100 ms, forever.
    const QByteArray slowHead = "GET /api/features HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    std::vector<std::unique_ptr<QTcpSocket>> tricklers;
    for (int i = 0; i < 6; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, port());
        ASSERT_TRUE(socket->waitForConnected(2000));
        tricklers.push_back(std::move(socket));
    }
    // And one upload whose body comes at 500 bytes a second.
    auto slowBody = std::make_unique<QTcpSocket>();
    slowBody->connectToHost(QHostAddress::LocalHost, port());
    ASSERT_TRUE(slowBody->waitForConnected(2000));
    slowBody->write("POST /api/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                    token.toUtf8() +
                    "\r\nContent-Type: multipart/form-data; boundary=B\r\n"
                    "Content-Length: 1000000\r\n\r\n--B\r\nContent-Disposition: form-data; "
                    "name=\"file\"; filename=\"slow.bin\"\r\n\r\n");
    int sent = 0;
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        for (auto& socket : tricklers) {
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write(QByteArray(1, slowHead.at(sent % slowHead.size())));
        }
        if (slowBody->state() == QAbstractSocket::ConnectedState)
            slowBody->write(QByteArray(50, 'x'));
        ++sent;
    });
    trickle.start(100);

    QElapsedTimer waited;
    waited.start();
    const HttpResponse features = request("GET", u"/api/features"_s);
    EXPECT_EQ(features.status, 200);
    EXPECT_LT(waited.elapsed(), 8000);

    auto allClosed = [&] {
        for (auto& socket : tricklers) {
            if (socket->state() != QAbstractSocket::UnconnectedState)
                return false;
        }
        return slowBody->state() == QAbstractSocket::UnconnectedState;
    };
    EXPECT_TRUE(QTest::qWaitFor(allClosed, 8000)) << "the server hangs up on trickling clients";
    EXPECT_TRUE(QTest::qWaitFor([&] { return filesIn(u"tmp"_s).isEmpty(); }, 3000));
    EXPECT_EQ(request("GET", u"/api/features"_s).status, 200);
}

TEST_F(ServerHardeningTest, SignInOnlyFromTheServersOwnPages) {
    auto signIn = [&](const QByteArray& headers) {
        const QByteArray body = "token=" + QUrl::toPercentEncoding(token);
        return exchange(
            port(), "POST /dashboard/login HTTP/1.1\r\nHost: " + QUrl(url).authority().toUtf8() +
                        "\r\nContent-Type: application/x-www-form-urlencoded\r\n" + headers +
                        "Content-Length: " + QByteArray::number(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body);
    };
    const QByteArray own = url.toUtf8();
    struct Case {
        QByteArray headers;
        int status;
    };
    const std::vector<Case> cases = {
        {"Origin: https://evil.example\r\n", 403},
        {"Origin: null\r\n", 403},
        {"Referer: https://evil.example/form.html\r\n", 403},
        {"Origin: https://evil.example\r\nReferer: " + own + "/dashboard/\r\n", 403},
        {{}, 403},
        {"Origin: " + own + "\r\n", 303},
        {"Referer: " + own + "/dashboard/\r\n", 303},
    };
    for (const Case& c : cases) {
        const RawAnswer answer = signIn(c.headers);
        EXPECT_EQ(answer.status, c.status) << c.headers;
        EXPECT_EQ(!answer.header("Set-Cookie").isEmpty(), c.status == 303) << c.headers;
    }

    // Signed in, the form returns to the page that sent the user to it: a page of this server.
    const std::vector<std::pair<QByteArray, QByteArray>> returns = {
        {"/dashboard/edit/?id=abc", "/dashboard/edit/?id=abc"},
        {"//evil.example/x", "/dashboard/"},
        {"/\\evil.example", "/dashboard/"},
        {"https://evil.example/", "/dashboard/"},
        {"/dashboard/\r\nSet-Cookie: x=1", "/dashboard/"},
    };
    for (const auto& [next, location] : returns) {
        const HttpResponse answer = request(
            "POST", u"/dashboard/login"_s,
            {{"Content-Type", "application/x-www-form-urlencoded"}, {"Origin", own}},
            "token=" + QUrl::toPercentEncoding(token) + "&next=" + QUrl::toPercentEncoding(next));
        EXPECT_EQ(answer.header("Location"), location) << next;
    }

    // A one-time link the app asks for with its token signs the browser in, once, and leads
    // to the page it was asked for.
    auto askLink = [&](const QByteArray& next, const QByteArray& bearer) {
        return request(
            "POST", u"/api/sign-in-link"_s,
            {{"Authorization", "Bearer " + bearer}, {"Content-Type", "application/json"}},
            R"({"next":")" + next + R"("})");
    };
    EXPECT_EQ(askLink("/dashboard/", "slk_wrong").status, 401);
    const HttpResponse asked = askLink("/dashboard/edit/?id=abc", token.toUtf8());
    ASSERT_EQ(asked.status, 200) << asked.body;
    const QString once = QJsonDocument::fromJson(asked.body)[u"url"_s].toString();
    ASSERT_TRUE(once.startsWith(url + u"/dashboard/once?code="_s)) << once;
    const HttpResponse followed = request("GET", once);
    EXPECT_EQ(followed.status, 303);
    EXPECT_EQ(followed.header("Location"), "/dashboard/edit/?id=abc");
    EXPECT_TRUE(followed.header("Set-Cookie").startsWith("slk_session="))
        << followed.header("Set-Cookie");
    const HttpResponse again = request("GET", once);
    EXPECT_EQ(again.status, 403);
    EXPECT_TRUE(again.header("Set-Cookie").isEmpty());
    EXPECT_TRUE(again.body.contains("expired or was used already"));
    const QString other =
        QJsonDocument::fromJson(askLink("https://evil.example/", token.toUtf8()).body)[u"url"_s]
            .toString();
    EXPECT_EQ(request("GET", other).header("Location"), "/dashboard/") << "never another site";
}

TEST_F(ServerHardeningTest, ThumbnailsAreCachedOnlyWhenWrittenWhole) {
    // Files may grow to 300 kB only: the upload fits, its thumbnail's PNG does not.
    launcher = {u"/bin/sh"_s, u"-c"_s, u"trap '' XFSZ; exec prlimit --fsize=300000 \"$@\""_s,
                u"sh"_s};
    start();
    QImage noise(400, 400, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, QRandomGenerator::global()->generate());
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    noise.save(&buffer, "JPEG", 40);
    ASSERT_LT(jpeg.size(), 300000);
    const UploadResult result = upload(writeTestFile(u"noise.jpg"_s, jpeg));
    ASSERT_FALSE(result.id.isEmpty());

    for (int i = 0; i < 2; ++i) {
        const HttpResponse thumbnail = request("GET", path(result.thumbnailURL));
        EXPECT_EQ(thumbnail.status, 200);
        EXPECT_EQ(QImage::fromData(thumbnail.body, "PNG").size(), QSize(400, 400)) << i;
    }
    EXPECT_TRUE(filesIn(u"thumbs"_s).isEmpty()) << "nothing cut is cached";
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
}

// Peers that hold connections (idle, reading an answer slowly, crowding in from one address)
// cost no thread: with two workers, a fresh request is still answered, the slow reader is cut
// at the minimum rate, and one address can't take more than its share of connections.
TEST_F(ServerHardeningTest, IdleSlowAndCrowdingPeersHoldNothingOthersNeed) {
    start({u"--threads"_s, u"2"_s, u"--body-grace"_s, u"1"_s, u"--answer-min-rate"_s, u"4000000"_s,
           u"--max-connections-per-address"_s, u"16"_s});
    const UploadResult large = upload(writeTestFile(u"large.bin"_s, QByteArray(64 << 20, 'L')));
    ASSERT_FALSE(large.id.isEmpty());

    auto connectFrom = [&](const char* address) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(QString::fromLatin1(address)));
        socket->connectToHost(QHostAddress::LocalHost, port());
        return socket;
    };
    // Idle connections, more than threads, from several addresses.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        for (int i = 0; i < 8; ++i)
            idle.push_back(connectFrom(address));
    }
    // Readers that ask for 64 MiB and read none of it (plain sockets: nothing reads for them).
    std::vector<int> readers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        const QByteArray asked = get(path(large.rawURL), {});
        ASSERT_EQ(::send(fd, asked.data(), size_t(asked.size()), 0), asked.size());
        readers.push_back(fd);
    }
    const auto closedByServer = [](int fd) {
        tcp_info info{};
        socklen_t size = sizeof info;
        return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
               info.tcpi_state == TCP_CLOSE;
    };
    // One address opening more than its share: the last ones are closed unread.
    std::vector<std::unique_ptr<QTcpSocket>> crowd;
    for (int i = 0; i < 24; ++i)
        crowd.push_back(connectFrom("127.0.0.6"));
    for (auto& socket : idle)
        ASSERT_TRUE(socket->waitForConnected(2000));

    const HttpResponse features = request("GET", u"/api/features"_s);
    EXPECT_EQ(features.status, 200);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::count_if(crowd.begin(), crowd.end(), [](const auto& socket) {
                       return socket->state() == QAbstractSocket::UnconnectedState;
                   }) >= 8;
        },
        15000)) // a loaded machine accepts slowly
        << "at most 16 connections from one address";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::all_of(readers.begin(), readers.end(), closedByServer); }, 15000))
        << "readers far below the minimum rate are cut off";
    for (const int fd : readers)
        ::close(fd);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::all_of(idle.begin(), idle.end(), [](const auto& socket) {
                return socket->state() == QAbstractSocket::UnconnectedState;
            });
        },
        15000))
        << "idle connections end at the header deadline, counted from the accept";
    // A reader at full speed gets the whole file at that rate.
    QProcess curl;
    curl.start(u"curl"_s,
               {u"-s"_s, u"-o"_s, u"/dev/null"_s, u"-w"_s, u"%{size_download}"_s, large.rawURL});
    ASSERT_TRUE(curl.waitForFinished(30000));
    EXPECT_EQ(curl.readAllStandardOutput().toLongLong(), 64 << 20);
}
