#pragma once

// What the recording benchmarks share: a changing 1080p screen, and a child process measured by
// the kernel (CPU time and peak memory).
#include "base/Errors.h"
#include "recording/ScreenRecorder.h"
#include "support/DisplaySession.h"

#include <QCoro/QCoroSignal>

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace shotlark::bench {

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;
constexpr int fps = 30;

// A photo-like background with moving coloured boxes: every frame differs.
class ChangingScreen : public QWidget {
public:
    ChangingScreen() {
        setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(0, 0, screenWidth, screenHeight);
        background_ = QImage(screenWidth, screenHeight, QImage::Format_RGB32);
        QRandomGenerator random(3);
        for (int y = 0; y < screenHeight; ++y) {
            for (int x = 0; x < screenWidth; ++x) {
                const int n = static_cast<int>(random.bounded(24));
                background_.setPixel(
                    x, y, qRgb((x / 6 + n) & 255, (y / 3 + n) & 255, ((x + y) / 12 + n) & 255));
            }
        }
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            ++tick_;
            update();
        });
        timer_.start(1000 / fps);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(0, 0, background_);
        for (int i = 0; i < 24; ++i)
            painter.fillRect(QRect((tick_ * 9 + i * 97) % screenWidth,
                                   (i * 45 + tick_ * 3) % screenHeight, 160, 90),
                             QColor::fromHsv((tick_ * 4 + i * 15) % 360, 220, 230));
    }

private:
    QImage background_;
    QTimer timer_;
    int tick_ = 0;
};

struct Usage {
    double cpuSeconds = -1;
    double peakMiB = -1;
    int exitCode = -1;
};

// Runs `argv` to its end and reads its CPU time and peak memory from the kernel.
inline Usage runMeasured(const QStringList& argv) {
    std::vector<QByteArray> storage;
    std::vector<char*> args;
    for (const QString& arg : argv)
        storage.push_back(arg.toLocal8Bit());
    for (QByteArray& arg : storage)
        args.push_back(arg.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    Usage usage;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return usage;
    int status = 0;
    struct rusage used {};
    // The picture keeps changing while the child runs.
    while (wait4(pid, &status, WNOHANG, &used) == 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    usage.cpuSeconds = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                       static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    usage.peakMiB = static_cast<double>(used.ru_maxrss) / 1024.0;
    usage.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return usage;
}

inline int countFrames(const QString& movie) {
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                   QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                   QStringLiteral("-show_entries"), QStringLiteral("stream=nb_read_frames"),
                   QStringLiteral("-of"), QStringLiteral("csv=p=0"), movie});
    ffprobe.waitForFinished(600000);
    return ffprobe.readAllStandardOutput().trimmed().toInt();
}

// The recording child's side: records what `choose` selects for `seconds`, moves the movie to
// `target` and quits the event loop it runs; the exit code.
inline int recordFor(ScreenRecorder& recorder, std::function<QCoro::Task<Selection>()> choose,
                     int seconds, const QString& target) {
    int exitCode = 1;
    auto run = [&]() -> QCoro::Task<> {
        try {
            auto choosing = choose();
            const Selection selection = co_await std::move(choosing);
            auto starting = recorder.start(selection, false);
            co_await std::move(starting);
            QTimer wait;
            wait.setSingleShot(true);
            wait.start(seconds * 1000);
            auto elapsed = qCoro(&wait, &QTimer::timeout);
            co_await std::move(elapsed);
            auto stopping = recorder.stop();
            const QString movie = co_await std::move(stopping);
            exitCode = QFile::rename(movie, target) ? 0 : 1;
        } catch (const Error& error) {
            std::fprintf(stderr, "recording failed: %s\n", error.what());
        }
        QCoreApplication::quit();
    };
    auto task = run();
    QCoreApplication::exec();
    return exitCode;
}

inline double durationOf(const QString& movie) {
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                   QStringLiteral("format=duration"), QStringLiteral("-of"),
                   QStringLiteral("csv=p=0"), movie});
    ffprobe.waitForFinished(60000);
    return ffprobe.readAllStandardOutput().trimmed().toDouble();
}

// Private settings and temporary files under `home`, and a private 1080p Xvfb; false when the
// display does not start. The QApplication comes after this, on that display.
inline bool privateDesktop(const QTemporaryDir& home, test::DisplaySession& display) {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, home.path().toUtf8());
    if (display.start(screenWidth, screenHeight))
        return true;
    std::fprintf(stderr, "Xvfb did not start\n");
    return false;
}

// Lets a window just shown reach the screen.
inline void settle() {
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// ffmpeg grabbing the whole screen with libx264 at the recorder's settings, for `seconds`;
// the output arguments follow.
inline QStringList ffmpegX11grab(int seconds, qint64 bitrate) {
    return {
        QStringLiteral("ffmpeg"),      QStringLiteral("-v"),
        QStringLiteral("error"),       QStringLiteral("-y"),
        QStringLiteral("-f"),          QStringLiteral("x11grab"),
        QStringLiteral("-framerate"),  QString::number(fps),
        QStringLiteral("-video_size"), QStringLiteral("%1x%2").arg(screenWidth).arg(screenHeight),
        QStringLiteral("-i"),          qEnvironmentVariable("DISPLAY"),
        QStringLiteral("-c:v"),        QStringLiteral("libx264"),
        QStringLiteral("-preset"),     QStringLiteral("veryfast"),
        QStringLiteral("-b:v"),        QString::number(bitrate),
        QStringLiteral("-g"),          QString::number(2 * fps),
        QStringLiteral("-pix_fmt"),    QStringLiteral("yuv420p"),
        QStringLiteral("-t"),          QString::number(seconds)};
}

} // namespace shotlark::bench
