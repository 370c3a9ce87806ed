// Uploads a large file to a loopback server that discards bodies: end to end with the app's
// Uploader, then the transfer of a ready body file alone, then with curl -F; prints the times,
// both ratios to curl and the client's memory growth.
//   upload_bench [SIZE_MIB]        (default 1024)
#include "ProcStats.h"
#include "base/Errors.h"
#include "server/HttpClient.h"
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

// The request alone, as the Uploader sends it once its body file exists.
QCoro::Task<> sendOnce(QUrl url, QString body, QString boundary, double& seconds, QString& error) {
    HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.headers = {{"Authorization", "Bearer slk_bench"},
                       {"Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8()}};
    request.bodyFile = body;
    QElapsedTimer timer;
    timer.start();
    try {
        auto sending = HttpClient::session().send(std::move(request));
        const HttpResponse response = co_await std::move(sending);
        if (response.status != 200)
            error = QStringLiteral("HTTP %1").arg(response.status);
    } catch (const Error& e) {
        error = e.message();
    }
    seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QCoreApplication::quit();
}

double secondsSince(const QElapsedTimer& timer) {
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
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

    // The body file on its own, then the transfer of that file on its own.
    const QString boundary = Uploader::makeBoundary();
    QElapsedTimer bodyTimer;
    bodyTimer.start();
    const QString body = Uploader::writeMultipartBody(file, boundary);
    const double bodySeconds = secondsSince(bodyTimer);
    double transferSeconds = 0;
    auto sending =
        sendOnce(QUrl(url + QStringLiteral("/api/upload")), body, boundary, transferSeconds, error);
    app.exec();
    QFile::remove(body);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "transfer failed: %s\n", qPrintable(error));
        return 1;
    }

    QElapsedTimer curlTimer;
    curlTimer.start();
    const int curl =
        QProcess::execute(QStringLiteral("curl"),
                          {QStringLiteral("-sS"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                           QStringLiteral("-H"), QStringLiteral("Expect:"), QStringLiteral("-F"),
                           QStringLiteral("file=@") + file, url + QStringLiteral("/api/upload")});
    const double curlSeconds = secondsSince(curlTimer);

    std::printf("upload of %lld MiB over loopback\n", mib);
    std::printf("  shotlark end to end:   %.2f s (body file included), peak RSS growth %.1f MiB\n",
                seconds, static_cast<double>(peak - rssBefore) / 1024.0);
    std::printf("  body file alone:       %.2f s\n", bodySeconds);
    std::printf("  transfer alone:        %.2f s\n", transferSeconds);
    if (curl == 0) {
        std::printf("  curl -F:               %.2f s\n", curlSeconds);
        std::printf("  ratio transfer / curl:    %.2fx (target <= 1.3x)\n",
                    transferSeconds / curlSeconds);
        std::printf("  ratio end to end / curl:  %.2fx (target <= 2.5x)\n", seconds / curlSeconds);
    } else {
        std::printf("  curl -F:  not measured (curl exit %d)\n", curl);
    }
    server.kill();
    server.waitForFinished();
    return 0;
}
