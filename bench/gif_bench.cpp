// How long the reference server takes to turn a 60-second 1080p recording into a GIF, and the
// memory it takes: once for full-screen motion (the worst case) and once for what a screen
// recording mostly is, a still desktop with a small moving part. The app waits 60 s at most.
//   gif_bench [SECONDS]
#include "GifConverter.h"
#include "ProcStats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace shotlark::bench;

namespace {

bool makeMovie(const QString& path, const QString& source, int seconds) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {QStringLiteral("-v"),
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
                                            path});
    return ffmpeg.waitForFinished(-1) && ffmpeg.exitCode() == 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    QTemporaryDir dir;
    const struct {
        const char* name;
        QString source;
    } kinds[] = {
        {"full-screen motion", QStringLiteral("testsrc2=size=1920x1080:rate=30")},
        {"still desktop, small moving part",
         QStringLiteral("smptehdbars=size=1920x1080:rate=30[bg];testsrc2=size=320x240:rate=30[fg];"
                        "[bg][fg]overlay=800:400")},
    };
    std::printf("GIF conversion of %d s of 1080p30 H.264 (limits: %d px wide, %d fps)\n", seconds,
                slkserver::GifLimits().maxWidth, slkserver::GifLimits().maxFps);
    for (const auto& kind : kinds) {
        const QString movie = dir.filePath(QStringLiteral("movie.mp4"));
        const QString gif = dir.filePath(QStringLiteral("movie.gif"));
        if (!makeMovie(movie, kind.source, seconds)) {
            std::fprintf(stderr, "ffmpeg could not make the test movie\n");
            return 1;
        }
        slkserver::GifLimits limits;
        limits.maxSeconds = seconds + 1;
        QElapsedTimer clock;
        clock.start();
        const slkserver::GifFailure failure =
            slkserver::convertToGif(movie.toStdString(), gif.toStdString(), limits);
        const double elapsed = clock.elapsed() / 1000.0;
        if (failure) {
            std::fprintf(stderr, "conversion failed: %s\n", failure.message.c_str());
            return 1;
        }
        std::printf("  %-34s %6.1f s   movie %6.1f MiB -> GIF %6.1f MiB   peak RSS %6.1f MiB\n",
                    kind.name, elapsed, QFileInfo(movie).size() / 1048576.0,
                    QFileInfo(gif).size() / 1048576.0, procKiB(0, "VmHWM:") / 1024.0);
    }
    return 0;
}
