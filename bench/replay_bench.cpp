// The replay buffer running on a changing 1920x1080 screen at 30 fps on a private Xvfb: CPU per
// second, peak RSS, the most disk its directory held, and the time from save to copies ready.
// Beside it in the same run, for CPU: `ffmpeg -f x11grab -c:v libx264 -preset veryfast -f segment
// -segment_time 10` at the same size, rate and bitrate.
//   replay_bench [SECONDS]        (default 120)
#include "BenchScreen.h"
#include "base/Errors.h"
#include "platform/RecordingBackends.h"
#include "recording/ReplayBuffer.h"
#include "recording/ScreenRecorder.h"
#include "support/DisplaySession.h"

#include <QApplication>
#include <QCoro/QCoroSignal>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>

using namespace shotlark;
using namespace shotlark::bench;

namespace {

qint64 bytesIn(const QString& dir) {
    qint64 total = 0;
    for (const QFileInfo& file : QDir(dir).entryInfoList(QDir::Files))
        total += file.size();
    return total;
}

// The child's side: runs the buffer, then saves; writes "maxBytes saveMs copies" to `stats`.
int runBuffer(int seconds, const QString& stats) {
    ReplayBuffer buffer(std::make_shared<platform::LinuxRecordingBackends>());
    int exitCode = 1;
    auto run = [&]() -> QCoro::Task<> {
        try {
            auto starting = buffer.start();
            co_await std::move(starting);
            qint64 most = 0;
            QTimer sample;
            QObject::connect(&sample, &QTimer::timeout,
                             [&] { most = std::max(most, bytesIn(buffer.directory())); });
            sample.start(500);
            QTimer wait;
            wait.setSingleShot(true);
            wait.start(seconds * 1000);
            auto elapsed = qCoro(&wait, &QTimer::timeout);
            co_await std::move(elapsed);
            QElapsedTimer timer;
            timer.start();
            auto saving = buffer.save();
            const QStringList copies = co_await std::move(saving);
            const double saveMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            most = std::max(most, bytesIn(buffer.directory()));
            QFile out(stats);
            out.open(QIODevice::WriteOnly);
            out.write(QStringLiteral("%1 %2 %3").arg(most).arg(saveMs).arg(copies.size()).toUtf8());
            for (const QString& copy : copies)
                QFile::remove(copy);
            auto stopping = buffer.stop();
            co_await std::move(stopping);
            exitCode = 0;
        } catch (const Error& error) {
            std::fprintf(stderr, "replay buffer failed: %s\n", error.what());
        }
        QCoreApplication::quit();
    };
    auto task = run();
    QCoreApplication::exec();
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && QByteArray(argv[1]) == "--buffer") {
        QGuiApplication app(argc, argv);
        return runBuffer(QByteArray(argv[2]).toInt(), QString::fromLocal8Bit(argv[3]));
    }
    const int seconds = argc > 1 ? std::max(15, atoi(argv[1])) : 120;
    QTemporaryDir home;
    test::DisplaySession display;
    if (!privateDesktop(home, display))
        return 1;
    QApplication app(argc, argv);
    ChangingScreen screen;
    screen.show();
    settle();

    const QString stats = home.path() + QStringLiteral("/stats.txt");
    const Usage shotlark =
        runMeasured({QCoreApplication::applicationFilePath(), QStringLiteral("--buffer"),
                     QString::number(seconds), stats});
    const qint64 bitrate =
        ScreenRecorder::bitrate(QSize(screenWidth, screenHeight), fps, 0.06, 8e6);
    QDir().mkpath(home.path() + QStringLiteral("/ffmpeg"));
    const Usage ffmpeg =
        runMeasured(ffmpegX11grab(seconds, bitrate) +
                    QStringList{QStringLiteral("-f"), QStringLiteral("segment"),
                                QStringLiteral("-segment_time"), QStringLiteral("10"),
                                home.path() + QStringLiteral("/ffmpeg/segment-%03d.mp4")});

    QFile file(stats);
    file.open(QIODevice::ReadOnly);
    const QList<QByteArray> figures = file.readAll().split(' ');
    std::printf("replay buffer %d s on a changing %dx%d screen at %d fps, %lld b/s\n", seconds,
                screenWidth, screenHeight, fps, static_cast<long long>(bitrate));
    if (shotlark.exitCode != 0 || figures.size() < 3) {
        std::printf("  shotlark: failed (exit %d)\n", shotlark.exitCode);
        return 1;
    }
    std::printf("  shotlark: %.2f cores, peak RSS %.1f MiB, most disk %.1f MiB, save to %d "
                "copies %.1f ms\n",
                shotlark.cpuSeconds / seconds, shotlark.peakMiB,
                figures[0].toDouble() / (1024.0 * 1024.0), figures[2].toInt(),
                figures[1].toDouble());
    if (ffmpeg.exitCode == 0)
        std::printf("  ffmpeg segment: %.2f cores, peak RSS %.1f MiB\n",
                    ffmpeg.cpuSeconds / seconds, ffmpeg.peakMiB);
    std::printf("  targets: < 0.5 core, RSS < 80 MiB, disk within five segments, save < 100 ms\n");
    return 0;
}
