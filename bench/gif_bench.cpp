// The reference server turning a 1080p30 recording into a GIF, beside the ffmpeg command line
// doing the same two-pass palette conversion (same size, rate, palette and dither) in the same
// run: time, peak resident memory and GIF size. Once for full-screen motion (the worst case) and
// once for what a screen recording mostly is, a still desktop with a small moving part. Then the
// app's own conversion (its recording module, for upload servers that can't convert) on the
// same movie: its GIF beside the server's.
//   gif_bench [SECONDS]    (default 10; the app waits 60 s at most)
#include "GifConverter.h"
#include "ProcStats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLibrary>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

using namespace shotlark::bench;

namespace {

const QString serverBinary = QStringLiteral(SHOTLARK_SERVER_BINARY);

struct Run {
    bool ok = false;
    double seconds = 0;
    double peakMiB = 0;
};

// Runs a program to its end; its own peak RSS comes from wait4, which a QProcess can't give.
Run measure(const QStringList& command) {
    std::vector<QByteArray> storage;
    for (const QString& arg : command)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return {};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return {};
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, clock.elapsed() / 1000.0,
            usage.ru_maxrss / 1024.0};
}

bool makeMovie(const QString& path, const QString& source, int seconds) {
    return measure({QStringLiteral("ffmpeg"),
                    QStringLiteral("-v"),
                    QStringLiteral("error"),
                    QStringLiteral("-y"),
                    QStringLiteral("-f"),
                    QStringLiteral("lavfi"),
                    QStringLiteral("-i"),
                    source,
                    QStringLiteral("-t"),
                    QString::number(seconds),
                    QStringLiteral("-c:v"),
                    QStringLiteral("libx264"),
                    QStringLiteral("-preset"),
                    QStringLiteral("veryfast"),
                    QStringLiteral("-tune"),
                    QStringLiteral("zerolatency"),
                    QStringLiteral("-g"),
                    QStringLiteral("60"),
                    QStringLiteral("-pix_fmt"),
                    QStringLiteral("yuv420p"),
                    path})
        .ok;
}

// The well-known two-command recipe, with the server's own limits and palette settings.
Run commandLine(const QString& movie, const QString& gif, const QString& palette) {
    const slkserver::GifLimits limits;
    const QString scale = QStringLiteral("fps=%1,scale='min(%2,iw)':-2:flags=lanczos")
                              .arg(limits.maxFps)
                              .arg(limits.maxWidth);
    const Run first =
        measure({QStringLiteral("ffmpeg"), QStringLiteral("-v"), QStringLiteral("error"),
                 QStringLiteral("-y"), QStringLiteral("-i"), movie, QStringLiteral("-vf"),
                 scale + QStringLiteral(",palettegen=stats_mode=diff"), palette});
    if (!first.ok)
        return first;
    const Run second = measure(
        {QStringLiteral("ffmpeg"), QStringLiteral("-v"), QStringLiteral("error"),
         QStringLiteral("-y"), QStringLiteral("-i"), movie, QStringLiteral("-i"), palette,
         QStringLiteral("-lavfi"),
         scale + QStringLiteral(
                     "[x];[x][1:v]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle"),
         gif});
    return {second.ok, first.seconds + second.seconds, std::max(first.peakMiB, second.peakMiB)};
}

struct Server {
    QProcess process;
    QString url;
    QByteArray token;
};

bool startServer(Server& server, const QString& data, int seconds) {
    QProcess create;
    create.start(serverBinary, {QStringLiteral("--data"), data, QStringLiteral("--create-user"),
                                QStringLiteral("bench")});
    create.waitForFinished();
    server.token = create.readAllStandardOutput().trimmed();
    server.process.start(serverBinary,
                         {QStringLiteral("--data"), data, QStringLiteral("--listen"),
                          QStringLiteral("127.0.0.1:0"), QStringLiteral("--gif-max-seconds"),
                          QString::number(seconds + 1)});
    if (server.token.isEmpty() || !server.process.waitForReadyRead(10000))
        return false;
    server.url =
        QString::fromUtf8(server.process.readLine().trimmed()).section(QLatin1Char(' '), -1);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    QTemporaryDir dir;
    Server server;
    if (!startServer(server, dir.filePath(QStringLiteral("data")), seconds)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const struct {
        const char* name;
        QString source;
    } kinds[] = {
        {"full-screen motion", QStringLiteral("testsrc2=size=1920x1080:rate=30")},
        {"still desktop, small moving part",
         QStringLiteral("smptehdbars=size=1920x1080:rate=30[bg];testsrc2=size=320x240:rate=30[fg];"
                        "[bg][fg]overlay=800:400")},
    };
    std::printf("GIF of %d s of 1080p30 H.264 (at most %d px wide, %d fps), %d processors\n",
                seconds, slkserver::GifLimits().maxWidth, slkserver::GifLimits().maxFps,
                QThread::idealThreadCount());
    std::printf("  %-34s %-13s %8s %10s %10s\n", "content", "by", "time", "peak RSS", "GIF");
    for (const auto& kind : kinds) {
        const QString movie = dir.filePath(QStringLiteral("Recording.mp4"));
        if (!makeMovie(movie, kind.source, seconds)) {
            std::fprintf(stderr, "ffmpeg could not make the test movie\n");
            return 1;
        }
        const QString fromServer = dir.filePath(QStringLiteral("server.gif"));
        const Run ours =
            measure({QStringLiteral("curl"), QStringLiteral("-sSf"), QStringLiteral("-o"),
                     dir.filePath(QStringLiteral("answer.json")), QStringLiteral("-H"),
                     QStringLiteral("Authorization: Bearer ") + QString::fromUtf8(server.token),
                     QStringLiteral("-H"), QStringLiteral("X-Convert: gif"), QStringLiteral("-F"),
                     QStringLiteral("file=@") + movie + QStringLiteral(";type=video/mp4"),
                     server.url + QStringLiteral("/api/upload")});
        // The stored GIF is the newest file the server keeps.
        QProcess find;
        find.start(QStringLiteral("sh"),
                   {QStringLiteral("-c"), QStringLiteral("ls -t \"$0\"/files/* | head -1"),
                    dir.filePath(QStringLiteral("data"))});
        find.waitForFinished();
        const QString stored = QString::fromLocal8Bit(find.readAllStandardOutput().trimmed());
        const QString fromCli = dir.filePath(QStringLiteral("cli.gif"));
        const Run cli = commandLine(movie, fromCli, dir.filePath(QStringLiteral("palette.png")));
        if (!ours.ok || !cli.ok || stored.isEmpty()) {
            std::fprintf(stderr, "a conversion failed (server %d, command line %d)\n", ours.ok,
                         cli.ok);
            return 1;
        }
        const double serverPeak = procKiB(server.process.processId(), "VmHWM:") / 1024.0;
        const double ourSize = QFileInfo(stored).size() / 1048576.0;
        const double cliSize = QFileInfo(fromCli).size() / 1048576.0;
        std::printf("  %-34s %-13s %7.1fs %7.1f MiB %6.2f MiB\n", kind.name, "shotlark-server",
                    ours.seconds, serverPeak, ourSize);
        std::printf("  %-34s %-13s %7.1fs %7.1f MiB %6.2f MiB\n", "", "ffmpeg (2 runs)",
                    cli.seconds, cli.peakMiB, cliSize);
        std::printf("  %-34s %-13s %7.2fx %12s %9.2fx\n", "", "ratio", ours.seconds / cli.seconds,
                    "", ourSize / cliSize);
        using Convert = const char* (*)(const char*, const char*);
        QLibrary module(QStringLiteral(SHOTLARK_RECORDING_MODULE));
        const auto convert = reinterpret_cast<Convert>(module.resolve("shotlark_movie_to_gif"));
        const QString fromApp = dir.filePath(QStringLiteral("app.gif"));
        QElapsedTimer clock;
        clock.start();
        const char* failure = convert ? convert(QFile::encodeName(movie).constData(),
                                                QFile::encodeName(fromApp).constData())
                                      : "no recording module";
        const double appSeconds = clock.elapsed() / 1000.0;
        if (failure) {
            std::fprintf(stderr, "the app's conversion failed: %s\n", failure);
            return 1;
        }
        const double appSize = QFileInfo(fromApp).size() / 1048576.0;
        std::printf("  %-34s %-13s %7.1fs %12s %6.2f MiB\n", "", "app, here", appSeconds, "",
                    appSize);
        std::printf("  %-34s %-13s %7.2fx %12s %9.3fx of the server's\n", "", "vs ffmpeg",
                    appSeconds / cli.seconds, "", appSize / ourSize);
    }
    server.process.terminate();
    server.process.waitForFinished();
    return 0;
}
