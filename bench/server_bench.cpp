// Load on the reference server over loopback: N concurrent clients (curl, one connection each)
// upload files of 1 MiB and of 256 MiB. Prints requests per second, MB/s and the server's peak
// resident memory.
//   server_bench [CLIENTS]    (default 4)
#include "ProcStats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

// SHOTLARK_SERVER_UNDER_TEST measures another build of the server against the same load.
const QString serverBinary =
    qEnvironmentVariable("SHOTLARK_SERVER_UNDER_TEST", QStringLiteral(SHOTLARK_SERVER_BINARY));

QString makeFile(const QString& path, qint64 mib) {
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    QByteArray chunk(1 << 20, 'x');
    for (qint64 i = 0; i < mib; ++i) {
        chunk[0] = static_cast<char>(i);
        out.write(chunk);
    }
    return path;
}

struct Round {
    qint64 mib;
    int uploadsPerClient;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int clients = app.arguments().value(1, QStringLiteral("4")).toInt();
    QTemporaryDir work;
    const QString data = work.path() + QStringLiteral("/data");

    QProcess create;
    create.start(serverBinary, {QStringLiteral("--data"), data, QStringLiteral("--create-user"),
                                QStringLiteral("bench")});
    create.waitForFinished();
    const QByteArray token = create.readAllStandardOutput().trimmed();

    QProcess server;
    server.start(serverBinary, {QStringLiteral("--data"), data, QStringLiteral("--listen"),
                                QStringLiteral("127.0.0.1:0"), QStringLiteral("--max-upload-mib"),
                                QStringLiteral("512")});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const QString url =
        QString::fromUtf8(server.readLine().trimmed()).section(QLatin1Char(' '), -1) +
        QStringLiteral("/api/upload");
    std::printf("shotlark-server under %d concurrent clients (curl, one connection each)\n",
                clients);

    for (const Round& round : {Round{1, 100}, Round{256, 2}}) {
        const QString file =
            makeFile(work.path() + QStringLiteral("/payload-%1.bin").arg(round.mib), round.mib);
        QElapsedTimer timer;
        timer.start();
        std::vector<std::unique_ptr<QProcess>> running;
        for (int c = 0; c < clients; ++c) {
            QStringList args;
            for (int i = 0; i < round.uploadsPerClient; ++i) {
                if (i > 0)
                    args << QStringLiteral("--next");
                args << QStringLiteral("-sS") << QStringLiteral("-o") << QStringLiteral("/dev/null")
                     << QStringLiteral("-f") << QStringLiteral("-H")
                     << QStringLiteral("Authorization: Bearer ") + QString::fromUtf8(token)
                     << QStringLiteral("-F") << QStringLiteral("file=@") + file << url;
            }
            auto curl = std::make_unique<QProcess>();
            curl->start(QStringLiteral("curl"), args);
            running.push_back(std::move(curl));
        }
        int failures = 0;
        for (auto& curl : running) {
            curl->waitForFinished(-1);
            failures += curl->exitCode() != 0;
        }
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        const int requests = clients * round.uploadsPerClient;
        std::printf(
            "  %4lld MiB x %3d: %7.1f requests/s, %7.1f MB/s, %.2f s, %d failed, server "
            "peak RSS %.1f MiB\n",
            round.mib, requests, requests / seconds,
            static_cast<double>(requests * round.mib) * 1.048576 / seconds, seconds, failures,
            static_cast<double>(shotlark::bench::procKiB(server.processId(), "VmHWM:")) / 1024.0);
        QFile::remove(file);
    }
    server.terminate();
    server.waitForFinished();
    return 0;
}
