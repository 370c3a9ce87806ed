// The reference server while peers hold what they can: 64 idle connections, 64 clients that
// trickle a request head a byte at a time, 8 that read a large answer 64 KiB every 25 s, and 8
// GIF conversions, all at once. Meanwhile a fresh client asks GET /api/features twice a second;
// prints how long those answers took and the server's peak memory.
//   slow_peers_bench [SECONDS]    (default 30)
// Each kind of peer comes from its own loopback address (127.0.0.2-5), as separate clients
// would. SHOTLARK_SERVER_UNDER_TEST measures another build of the server.
#include "ProcStats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const QString serverBinary =
    qEnvironmentVariable("SHOTLARK_SERVER_UNDER_TEST", QStringLiteral(SHOTLARK_SERVER_BINARY));

QByteArray run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(-1);
    return process.readAllStandardOutput().trimmed();
}

std::unique_ptr<QTcpSocket> connectFrom(const char* address, quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->bind(QHostAddress(QString::fromLatin1(address)));
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket;
}

// A plain socket that reads only when told to, with a small receive window.
int slowReader(const char* address, quint16 port, const QByteArray& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 64 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &from.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        ::send(fd, request.data(), size_t(request.size()), 0) != request.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = app.arguments().value(1, QStringLiteral("30")).toInt();
    QTemporaryDir work;
    const QString data = work.path() + QStringLiteral("/data");
    const QString token = QString::fromUtf8(
        run(serverBinary, {QStringLiteral("--data"), data, QStringLiteral("--create-user"),
                           QStringLiteral("b")}));

    QProcess server;
    server.start(serverBinary, {QStringLiteral("--data"), data, QStringLiteral("--listen"),
                                QStringLiteral("127.0.0.1:0")});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const QString base =
        QString::fromUtf8(server.readLine().trimmed()).section(QLatin1Char(' '), -1);
    const auto port = static_cast<quint16>(base.section(QLatin1Char(':'), -1).toUInt());
    const QString auth = QStringLiteral("Authorization: Bearer ") + token;

    // A large file for the slow readers, and a recording for the conversions.
    const QString large = work.path() + QStringLiteral("/large.bin");
    {
        QFile out(large);
        out.open(QIODevice::WriteOnly);
        for (int i = 0; i < 256; ++i)
            out.write(QByteArray(1 << 20, char(i)));
    }
    const QString raw = QString::fromUtf8(
        run(QStringLiteral("sh"),
            {QStringLiteral("-c"),
             QStringLiteral("curl -s -H \"$1\" -F file=@\"$2\" \"$3/api/upload\" | sed -n "
                            "'s/.*\"raw_url\":\"\\([^\"]*\\)\".*/\\1/p'"),
             QStringLiteral("sh"), auth, large, base}));
    const QString movie = work.path() + QStringLiteral("/Recording.mp4");
    run(QStringLiteral("ffmpeg"),
        QStringLiteral("-v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 20 -c:v "
                       "libx264 -preset veryfast -pix_fmt yuv420p")
                .split(QLatin1Char(' ')) +
            QStringList{movie});
    if (raw.isEmpty() || !QFile::exists(movie)) {
        std::fprintf(stderr, "couldn't prepare the large file or the recording\n");
        return 1;
    }
    std::printf("shotlark-server: 64 idle, 64 trickling heads, 8 slow readers, 8 GIF conversions; "
                "GET /api/features twice a second for %d s\n",
                seconds);
    std::fflush(stdout);

    std::vector<std::unique_ptr<QTcpSocket>> idle, tricklers;
    for (int i = 0; i < 64; ++i)
        idle.push_back(connectFrom("127.0.0.2", port));
    for (int i = 0; i < 64; ++i)
        tricklers.push_back(connectFrom("127.0.0.3", port));
    const QByteArray slowHead = "GET /api/features HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    int trickled = 0;
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        for (auto& socket : tricklers) {
            // One that was cut off comes back: the load stays.
            if (socket->state() == QAbstractSocket::UnconnectedState)
                socket = connectFrom("127.0.0.3", port);
            else if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write(QByteArray(1, slowHead.at(trickled % slowHead.size())));
        }
        for (auto& socket : idle) {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                socket = connectFrom("127.0.0.2", port);
        }
        ++trickled;
    });
    trickle.start(500);

    const QByteArray slowRequest = "GET " + QUrl(raw).path(QUrl::FullyEncoded).toUtf8() +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<int> readers;
    for (int i = 0; i < 8; ++i)
        readers.push_back(slowReader("127.0.0.4", port, slowRequest));
    QTimer slowRead;
    QObject::connect(&slowRead, &QTimer::timeout, [&] {
        std::vector<char> piece(64 * 1024);
        for (int& fd : readers) {
            if (fd >= 0 && ::recv(fd, piece.data(), piece.size(), MSG_DONTWAIT) == 0) {
                ::close(fd);
                fd = slowReader("127.0.0.4", port, slowRequest);
            }
        }
    });
    slowRead.start(25000);

    std::vector<std::unique_ptr<QProcess>> conversions;
    for (int i = 0; i < 8; ++i) {
        auto curl = std::make_unique<QProcess>();
        curl->start(QStringLiteral("curl"),
                    {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                     QStringLiteral("-w"), QStringLiteral("%{http_code}"),
                     QStringLiteral("--interface"), QStringLiteral("127.0.0.5"),
                     QStringLiteral("-H"), auth, QStringLiteral("-H"),
                     QStringLiteral("X-Convert: gif"), QStringLiteral("-F"),
                     QStringLiteral("file=@") + movie, base + QStringLiteral("/api/upload")});
        conversions.push_back(std::move(curl));
    }

    // The probe: a fresh connection each time, the whole answer read.
    std::vector<double> waits;
    int failed = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        auto* socket = new QTcpSocket(&app);
        auto timer = std::make_shared<QElapsedTimer>();
        auto answer = std::make_shared<QByteArray>();
        timer->start();
        QObject::connect(socket, &QTcpSocket::connected, socket, [socket] {
            socket->write("GET /api/features HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: "
                          "close\r\n\r\n");
        });
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [socket, answer] { *answer += socket->readAll(); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [&, socket, timer, answer] {
            *answer += socket->readAll();
            if (answer->startsWith("HTTP/1.1 200") && answer->contains("\"enabled\""))
                waits.push_back(double(timer->nsecsElapsed()) / 1e6);
            else
                ++failed;
            socket->deleteLater();
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    });
    probe.start(500);

    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    probe.stop();

    int converted = 0, refused = 0;
    for (auto& curl : conversions) {
        curl->waitForFinished(-1);
        const QByteArray status = curl->readAllStandardOutput();
        converted += status == "200";
        refused += status == "503";
    }
    std::sort(waits.begin(), waits.end());
    const auto at = [&](double share) {
        return waits.empty() ? -1.0
                             : waits[std::min(waits.size() - 1, size_t(share * waits.size()))];
    };
    std::printf("  /api/features: %zu answered, %d failed; median %.1f ms, 95th %.1f ms, "
                "max %.1f ms\n",
                waits.size(), failed, at(0.5), at(0.95), waits.empty() ? -1.0 : waits.back());
    std::printf("  GIF uploads: %d converted, %d told to try later, %d other\n", converted, refused,
                int(conversions.size()) - converted - refused);
    std::printf("  server peak RSS %.1f MiB\n",
                double(shotlark::bench::procKiB(server.processId(), "VmHWM:")) / 1024.0);
    for (int fd : readers) {
        if (fd >= 0)
            ::close(fd);
    }
    server.terminate();
    server.waitForFinished();
    return 0;
}
