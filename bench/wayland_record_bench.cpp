// Screen recording in a Wayland session: Shotlark's recorder reading a 1920x1080 PipeWire stream
// through the real ScreenCast portal, from a test backend that sends a moving picture 30 times
// a second (after a still second), as a busy desktop does. Prints CPU seconds, peak RSS and
// frames written against frames expected; compare with record_bench's X11 grab.
//   wayland_record_bench [SECONDS]        (default 30)
#include "BenchScreen.h"
#include "base/Errors.h"
#include "platform/Recording.h"
#include "platform/RecordingBackends.h"
#include "recording/ScreenRecorder.h"
#include "support/WaylandSession.h"

#include <QCoro/QCoroSignal>

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

using namespace shotlark;
using namespace shotlark::bench;

namespace {

constexpr int streamWidth = 1920, streamHeight = 1080;

// The child's side, as the session's user: asks the portal, records the stream for `seconds`
// and moves the movie to `target`.
int record(int seconds, const QString& target) {
    auto backends = std::make_shared<platform::LinuxRecordingBackends>();
    ScreenRecorder recorder(backends);
    return recordFor(
        recorder,
        [backends]() -> QCoro::Task<Selection> {
            auto asking = backends->screenCast(QString());
            const platform::ScreenCastChoice choice = co_await std::move(asking);
            if (!choice.cast)
                throw Error(QStringLiteral("the portal gave no stream"));
            Selection selection;
            selection.isFullScreen = true;
            selection.stream = choice.cast;
            co_return selection;
        },
        seconds, target);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && QByteArray(argv[1]) == "--record") {
        QGuiApplication app(argc, argv);
        return record(QByteArray(argv[2]).toInt(), QString::fromLocal8Bit(argv[3]));
    }
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 30;
    QCoreApplication app(argc, argv);
    char pattern[] = "/tmp/shotlark-bench-screencast-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0)
        return 1;
    ::close(fd);
    const QString log = QString::fromLocal8Bit(pattern);
    test::WaylandSession session;
    if (::geteuid() == 0)
        QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody:nogroup"), log});
    if (!session.start(1280, 720, true,
                       {QStringLiteral(SHOTLARK_TEST_SCREENCAST), log, QString::number(streamWidth),
                        QString::number(streamHeight)})) {
        QFile::remove(log);
        return 1;
    }
    const QString movie = session.userDirectory(QStringLiteral("movie")) + "/wayland.mp4";
    const Usage usage =
        runMeasured(session.asUser({QCoreApplication::applicationFilePath(),
                                    QStringLiteral("--record"), QString::number(seconds), movie}));
    QFile::remove(log);

    std::printf("recording %d s of a %dx%d PipeWire stream (ScreenCast portal, shared memory) at "
                "%d fps\n",
                seconds, streamWidth, streamHeight, fps);
    if (usage.exitCode != 0) {
        std::printf("failed (exit %d)\n", usage.exitCode);
        return 1;
    }
    const double duration = durationOf(movie);
    std::printf("%10s %10s %10s %10s %16s\n", "CPU s", "cores", "peak MiB", "movie s",
                "frames/expected");
    std::printf("%10.1f %10.2f %10.1f %10.2f %9d/%d\n", usage.cpuSeconds,
                usage.cpuSeconds / seconds, usage.peakMiB, duration, countFrames(movie),
                static_cast<int>(duration * fps + 0.5));
    return 0;
}
