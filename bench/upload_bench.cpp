// Uploads a large file to a loopback server that discards bodies, first with the app's
// Uploader, then with curl -F, and prints time and the client's memory growth.
//   upload_bench [SIZE_MIB]        (default 1024)
#include "ProcStats.h"
#include "base/Errors.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "support/TestHttpServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace shotlark;

namespace {

const QByteArray answer =
    R"({"id":"b","url":"http://m/u/b","raw_url":"http://m/r/b","thumbnail_url":"http://m/t/b",)"
    R"("deletion_url":"http://m/d/b","name":"b.bin","size":1})";

// Runs in a child process so that the server's work does not count against the client.
int serve() {
    test::TestHttpServer server;
    server.setDiscardBodies(true);
    server.setDefault({200, answer});
    std::printf("%d\n", server.port());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

QCoro::Task<> uploadOnce(const QString& file, double& seconds, QString& error) {
    QElapsedTimer timer;
    timer.start();
    try {
        auto uploading = Uploader::upload(file);
        co_await std::move(uploading);
    } catch (const Error& e) {
        error = e.message();
    }
    seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QStringLiteral("--serve"))
        return serve();
    const qint64 mib = app.arguments().value(1, QStringLiteral("1024")).toLongLong();

    // Private settings and temporary files: never the user's.
    QTemporaryDir home;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, home.path().toUtf8());

    QProcess server;
    server.start(app.applicationFilePath(), {QStringLiteral("--serve")});
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the loopback server did not start\n");
        return 1;
    }
    const QString url =
        QStringLiteral("http://127.0.0.1:%1").arg(server.readLine().trimmed().toInt());
    Config::shared().setString(keys::server, url);
    Config::shared().setToken(QStringLiteral("slk_bench"));

    const QString file = home.path() + QStringLiteral("/payload.bin");
    {
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        QByteArray chunk(1 << 20, '\0');
        for (qint64 i = 0; i < mib; ++i) {
            chunk[0] = static_cast<char>(i);
            out.write(chunk);
        }
    }

    const qint64 rssBefore = bench::procKiB(0, "VmRSS:");
    double seconds = 0;
    QString error;
    auto running = uploadOnce(file, seconds, error);
    app.exec();
    const qint64 peak = bench::procKiB(0, "VmHWM:");
    if (!error.isEmpty()) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(error));
        return 1;
    }

    QElapsedTimer curlTimer;
    curlTimer.start();
    const int curl =
        QProcess::execute(QStringLiteral("curl"),
                          {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                           QStringLiteral("-H"), QStringLiteral("Expect:"), QStringLiteral("-F"),
         QStringLiteral("file=@") + file,
                           url + QStringLiteral("/api/upload")});
    const double curlSeconds = static_cast<double>(curlTimer.nsecsElapsed()) / 1e9;

    std::printf("upload of %lld MiB over loopback\n", mib);
    std::printf(
        "  shotlark: %.2f s end to end (body file copy included), peak RSS growth %.1f MiB\n",
        seconds, static_cast<double>(peak - rssBefore) / 1024.0);
    if (curl == 0)
        std::printf("  curl -F:  %.2f s (ratio %.2fx)\n", curlSeconds, seconds / curlSeconds);
    else
        std::printf("  curl -F:  not measured (curl exit %d)\n", curl);
    server.kill();
    server.waitForFinished();
    return 0;
}
