// Screen recording of a changing 1920x1080 screen at 30 frames a second on a private Xvfb:
// Shotlark's recorder and `ffmpeg -f x11grab -c:v libx264 -preset veryfast` at the same size,
// rate and bitrate, one after the other in the same run. Prints CPU seconds, peak RSS and
// frames written against frames expected for both.
//   record_bench [SECONDS]        (default 60)
#include "BenchScreen.h"
#include "base/Errors.h"
#include "platform/RecordingBackends.h"
#include "recording/ScreenRecorder.h"
#include "store/Config.h"
#include "support/DisplaySession.h"

#include <QCoro/QCoroSignal>

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

using namespace shotlark;
using namespace shotlark::bench;

namespace {

// The child's side: records the whole screen for `seconds` and moves the movie to `target`.
int record(int seconds, const QString& target) {
    ScreenRecorder recorder(std::make_shared<platform::LinuxRecordingBackends>());
    QScreen* screen = QGuiApplication::primaryScreen();
    return recordFor(
        recorder,
        [screen]() -> QCoro::Task<Selection> {
            co_return Selection{screen, QRect(QPoint(0, 0), screen->geometry().size()), true};
        },
        seconds, target);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && QByteArray(argv[1]) == "--record") {
        QGuiApplication app(argc, argv);
        return record(QByteArray(argv[2]).toInt(), QString::fromLocal8Bit(argv[3]));
    }
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 60;
    QTemporaryDir home;
    test::DisplaySession display;
    if (!privateDesktop(home, display))
        return 1;
    QApplication app(argc, argv);
    ChangingScreen screen;
    screen.show();
    settle();

    const qint64 bitrate =
        ScreenRecorder::bitrate(QSize(screenWidth, screenHeight), fps, 0.06, 8'000'000);
    const QString ours = home.path() + QStringLiteral("/shotlark.mp4");
    const QString theirs = home.path() + QStringLiteral("/ffmpeg.mp4");
    const Usage shotlark =
        runMeasured({QCoreApplication::applicationFilePath(), QStringLiteral("--record"),
                     QString::number(seconds), ours});
    const Usage ffmpeg = runMeasured(ffmpegX11grab(seconds, bitrate) + QStringList{theirs});

    std::printf("recording %d s of a changing %dx%d screen at %d fps, %lld b/s, veryfast\n",
                seconds, screenWidth, screenHeight, fps, static_cast<long long>(bitrate));
    // Expected: one frame per 1/fps of the movie's own time line.
    std::printf("%-10s %10s %10s %10s %10s %16s\n", "", "CPU s", "cores", "peak MiB", "movie s",
                "frames/expected");
    auto line = [&](const char* name, const Usage& usage, const QString& movie) {
        if (usage.exitCode != 0) {
            std::printf("%-10s failed (exit %d)\n", name, usage.exitCode);
            return;
        }
        const double duration = durationOf(movie);
        std::printf("%-10s %10.1f %10.2f %10.1f %10.2f %9d/%d\n", name, usage.cpuSeconds,
                    usage.cpuSeconds / seconds, usage.peakMiB, duration, countFrames(movie),
                    static_cast<int>(duration * fps + 0.5));
    };
    line("shotlark", shotlark, ours);
    line("ffmpeg", ffmpeg, theirs);
    if (shotlark.exitCode == 0 && ffmpeg.exitCode == 0)
        std::printf(
            "CPU ratio shotlark/ffmpeg %.2f (target <= 1), RSS ratio %.2f (target <= 0.5)\n",
            shotlark.cpuSeconds / ffmpeg.cpuSeconds, shotlark.peakMiB / ffmpeg.peakMiB);
    return 0;
}
