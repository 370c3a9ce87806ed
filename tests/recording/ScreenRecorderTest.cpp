// The recorder on the harness's Xvfb with moving content: real MIT-SHM frames, libx264 and the
// MPEG-4 muxer; movies are read back with ffprobe and ffmpeg.
#include "recording/ScreenRecorder.h"
#include "base/Errors.h"
#include "platform/RecordingBackends.h"
#include "recording/RegionSelector.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/MovieFrames.h"
#include "support/ScreenDriver.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <csignal>
#include <sys/resource.h>

using namespace shotlark;
using namespace shotlark::test;
using namespace std::chrono_literals;

namespace {

// A full-screen window whose left half changes every 30 ms (never in red) and whose right half
// is plain grey.
class MovingPicture : public QWidget {
public:
    MovingPicture() {
        setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(QGuiApplication::primaryScreen()->geometry());
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            ++tick_;
            update();
        });
        timer_.start(30);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(128, 128, 128));
        for (int i = 0; i < 12; ++i)
            painter.fillRect(QRect((tick_ * 7 + i * 53) % (width() / 2), i * 60, 40, 50),
                             // Greens to blues: nothing that could pass for the red frame.
                             QColor::fromHsv(90 + (tick_ * 5 + i * 30) % 180, 200, 220));
    }

private:
    QTimer timer_;
    int tick_ = 0;
};

QJsonObject probe(const QString& movie, const QStringList& extra = {}) {
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  QStringList{QStringLiteral("-v"), QStringLiteral("error"),
                              QStringLiteral("-show_streams"), QStringLiteral("-show_format"),
                              QStringLiteral("-of"), QStringLiteral("json")} +
                      extra + QStringList{movie});
    ffprobe.waitForFinished(30000);
    return QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
}

QJsonObject stream(const QJsonObject& probed, const QString& type) {
    for (const QJsonValue& value : probed.value(QStringLiteral("streams")).toArray()) {
        if (value.toObject().value(QStringLiteral("codec_type")).toString() == type)
            return value.toObject();
    }
    return {};
}

// Frame numbers of the key frames.
QList<int> keyFrames(const QString& movie) {
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                   QStringLiteral("v"), QStringLiteral("-show_entries"),
                   QStringLiteral("frame=key_frame"), QStringLiteral("-of"),
                   QStringLiteral("csv=p=0"), movie});
    ffprobe.waitForFinished(60000);
    QList<int> keys;
    int index = 0;
    for (const QByteArray& line : ffprobe.readAllStandardOutput().split('\n')) {
        const QByteArray flag = line.split(',').first().trimmed(); // "1," for a key frame
        if (flag.isEmpty())
            continue;
        if (flag == "1")
            keys.append(index);
        ++index;
    }
    keys.append(index); // the end, for the last interval
    return keys;
}

class ScreenRecorderTest : public testing::Test {
protected:
    void SetUp() override {
        picture.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&picture));
        backends = std::make_shared<platform::LinuxRecordingBackends>();
    }

    // Records `selection` for about `ms` milliseconds; returns the movie and the time between
    // the first frame and the stop as the test saw it.
    QString record(const Selection& selection, int ms, bool audio = false) {
        ScreenRecorder recorder(backends);
        auto started = await(recorder.start(selection, audio));
        EXPECT_FALSE(started.error) << started.message().toStdString();
        if (started.error)
            return QString();
        QTest::qWait(ms);
        auto stopped = await(recorder.stop());
        EXPECT_FALSE(stopped.error) << stopped.message().toStdString();
        return stopped.value.value_or(QString());
    }

    MovingPicture picture;
    std::shared_ptr<platform::LinuxRecordingBackends> backends;
};

} // namespace

TEST_F(ScreenRecorderTest, AreaMovieHasTheStatedFormat) {
    // The pointer rests over the plain grey part of the area.
    xdotool({QStringLiteral("mousemove"), QStringLiteral("700"), QStringLiteral("300")});
    QScreen* screen = QGuiApplication::primaryScreen();
    const Selection selection{screen, QRect(500, 150, 301, 201), false};
    RecordingFrame frame;
    frame.show(selection);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.window()));

    const QString movie = record(selection, 3000);
    ASSERT_FALSE(movie.isEmpty());
    EXPECT_TRUE(QFileInfo(movie).fileName().startsWith(QStringLiteral("Recording_")));
    EXPECT_TRUE(movie.startsWith(paths::privateTempDir()));

    const QJsonObject probed = probe(movie);
    const QJsonObject video = stream(probed, QStringLiteral("video"));
    EXPECT_EQ(video.value(QStringLiteral("codec_name")).toString(), QStringLiteral("h264"));
    EXPECT_EQ(video.value(QStringLiteral("profile")).toString(), QStringLiteral("High"));
    EXPECT_EQ(video.value(QStringLiteral("width")).toInt(), 300) << "301 cut to even";
    EXPECT_EQ(video.value(QStringLiteral("height")).toInt(), 200);
    const QStringList rate = video.value(QStringLiteral("avg_frame_rate")).toString().split('/');
    EXPECT_NEAR(rate.value(0).toDouble() / std::max(1.0, rate.value(1).toDouble()), 30.0, 1.0)
        << QJsonDocument(video).toJson().toStdString();
    EXPECT_TRUE(stream(probed, QStringLiteral("audio")).isEmpty()) << "no sound unless asked";
    const double duration = probed.value(QStringLiteral("format"))
                                .toObject()
                                .value(QStringLiteral("duration"))
                                .toString()
                                .toDouble();
    EXPECT_NEAR(duration, 3.0, 0.2);

    const QList<int> keys = keyFrames(movie);
    ASSERT_GE(keys.size(), 2);
    EXPECT_EQ(keys.front(), 0);
    for (qsizetype i = 1; i < keys.size(); ++i)
        EXPECT_LE(keys[i] - keys[i - 1], 60) << "a key frame at least every two seconds";
    EXPECT_GE(keys.back(), 80) << "about 30 frames a second were written";

    // The pointer is in the picture; the red frame around the area is not.
    const QImage shot = frameAt(movie, 1.5);
    ASSERT_EQ(shot.size(), QSize(300, 200));
    int pointer = 0;
    for (int y = 150; y < 170; ++y) {
        for (int x = 200; x < 215; ++x) {
            const QColor pixel = shot.pixelColor(x, y);
            pointer += std::abs(pixel.red() - 128) + std::abs(pixel.green() - 128) > 80;
        }
    }
    EXPECT_GT(pointer, 10) << "the cursor drawn at the pointer";
    int red = 0;
    for (int x = 0; x < shot.width(); ++x) {
        for (int y : {0, 1, shot.height() - 2, shot.height() - 1}) {
            const QColor pixel = shot.pixelColor(x, y);
            red += pixel.red() > 180 && pixel.green() < 100 && pixel.blue() < 100;
        }
    }
    EXPECT_EQ(red, 0) << "the recording frame lies outside the area";
    QFile::remove(movie);
}

TEST_F(ScreenRecorderTest, AScreenThatGoesAwayEndsTheRecording) {
    const QSize size = QGuiApplication::primaryScreen()->geometry().size();
    const int half = size.width() / 2;
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                {QStringLiteral("--setmonitor"), QStringLiteral("left"),
                                 QStringLiteral("%1/100x%2/100+0+0").arg(half).arg(size.height()),
                                 QStringLiteral("screen")}),
              0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                {QStringLiteral("--setmonitor"), QStringLiteral("right"),
                                 QStringLiteral("%1/100x%2/100+%1+0").arg(half).arg(size.height()),
                                 QStringLiteral("none")}),
              0);
    ScreenRecorder recorder(backends);
    QString reason;
    recorder.onUnexpectedStop = [&](const QString& why) {
        reason = why;
    };
    auto started = await(recorder.start(
        {QGuiApplication::primaryScreen(), QRect(half + 100, 100, 200, 200), false}, false));
    ASSERT_FALSE(started.error) << started.message().toStdString();
    QTest::qWait(500);
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                {QStringLiteral("--delmonitor"), QStringLiteral("right")}),
              0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reason.isEmpty(); }, 5000));
    EXPECT_EQ(reason, QStringLiteral("The screen being recorded is gone"));
    // Asking to stop afterwards reports the reason, and no movie is left.
    const auto stopped = await(recorder.stop());
    EXPECT_EQ(stopped.message(), QStringLiteral("The screen being recorded is gone"));
    QDirIterator movies(paths::privateTempDir(), {QStringLiteral("*.mp4")}, QDir::Files,
                        QDirIterator::Subdirectories);
    EXPECT_FALSE(movies.hasNext()) << "nothing half-written is left";
}

namespace {

// A private PulseAudio server with a null sink whose monitor is the default source.
std::unique_ptr<ChildProcess> startPulse(const QString& socket) {
    auto pulse = ChildProcess::start(
        {QStringLiteral("pulseaudio"), QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
         QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
         QStringLiteral("--log-target=stderr"), QStringLiteral("--log-level=error"),
         QStringLiteral("-L"),
         QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket),
         QStringLiteral("-L"), QStringLiteral("module-null-sink sink_name=testsink"),
         QStringLiteral("-L"), QStringLiteral("module-always-sink")});
    if (!pulse || !QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 10000))
        return nullptr;
    return pulse;
}

double rmsOfSound(const QString& movie) {
    const QString wav = testHome() + QStringLiteral("/sound.wav");
    QProcess::execute(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                       QStringLiteral("-i"), movie, QStringLiteral("-map"), QStringLiteral("0:a"),
                       wav});
    QProcess sox;
    sox.start(QStringLiteral("sox"), {wav, QStringLiteral("-n"), QStringLiteral("stat")});
    sox.waitForFinished(20000);
    for (const QByteArray& line : sox.readAllStandardError().split('\n')) {
        if (line.startsWith("RMS     amplitude:"))
            return line.mid(line.indexOf(':') + 1).trimmed().toDouble();
    }
    return -1;
}

} // namespace

TEST_F(ScreenRecorderTest, SoundOfTheSpeakersWhenAsked) {
    const QString socket = testHome() + QStringLiteral("/pulse.sock");
    auto pulse = startPulse(socket);
    ASSERT_TRUE(pulse) << "pulseaudio did not start";
    ::setenv("PULSE_SERVER", QFile::encodeName(QStringLiteral("unix:") + socket).constData(), 1);
    const QString tone = testHome() + QStringLiteral("/tone.wav");
    ASSERT_EQ(
        QProcess::execute(QStringLiteral("sox"),
                          {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                           QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("-b"),
                           QStringLiteral("16"), QStringLiteral("-e"), QStringLiteral("signed"),
                           tone, QStringLiteral("synth"), QStringLiteral("6"),
                           QStringLiteral("sine"), QStringLiteral("440")}),
        0);
    QProcess player;
    player.start(QStringLiteral("paplay"), {tone});
    ASSERT_TRUE(player.waitForStarted());
    QTest::qWait(300);

    QScreen* screen = QGuiApplication::primaryScreen();
    const QString movie = record({screen, QRect(0, 0, 320, 240), false}, 3000, true);
    ASSERT_FALSE(movie.isEmpty());
    const QJsonObject audio = stream(probe(movie), QStringLiteral("audio"));
    EXPECT_EQ(audio.value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
    EXPECT_EQ(audio.value(QStringLiteral("sample_rate")).toString(), QStringLiteral("48000"));
    EXPECT_EQ(audio.value(QStringLiteral("channels")).toInt(), 2);
    EXPECT_GT(rmsOfSound(movie), 0.1) << "the tone is in the movie";
    player.kill();
    player.waitForFinished();

    // The sound server going away ends the recording, as a stop nobody asked for.
    {
        ScreenRecorder recorder(backends);
        QString reason;
        recorder.onUnexpectedStop = [&](const QString& why) {
            reason = why;
        };
        ASSERT_FALSE(await(recorder.start({screen, QRect(0, 0, 320, 240), false}, true)).error);
        EXPECT_TRUE(recorder.audioProblem().isEmpty());
        QTest::qWait(300);
        pulse.reset(); // killed
        EXPECT_TRUE(QTest::qWaitFor([&] { return !reason.isEmpty(); }, 5000));
        EXPECT_TRUE(reason.startsWith(QStringLiteral("The sound server went away")))
            << reason.toStdString();
    }

    // Without a sound server the recording goes on without sound, and says why.
    ::setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1);
    ScreenRecorder silent(backends);
    auto started = await(silent.start({screen, QRect(0, 0, 320, 240), false}, true));
    ASSERT_FALSE(started.error) << started.message().toStdString();
    EXPECT_FALSE(silent.audioProblem().isEmpty());
    QTest::qWait(500);
    auto stopped = await(silent.stop());
    ASSERT_FALSE(stopped.error);
    EXPECT_TRUE(stream(probe(*stopped.value), QStringLiteral("audio")).isEmpty());
    ::unsetenv("PULSE_SERVER");
}

namespace {

// Real movies, but a frame source that never delivers a frame.
struct SilentScreen : platform::LinuxRecordingBackends {
    struct Source : platform::FrameSource {
        void start(const QRect&, int, Handlers) override {}
        void stop() override {}
    };
    std::unique_ptr<platform::FrameSource> frameSource() override {
        return std::make_unique<Source>();
    }
};

} // namespace

TEST_F(ScreenRecorderTest, FailuresLeaveNoMovieBehind) {
    QScreen* screen = QGuiApplication::primaryScreen();
    auto anyMovie = [] {
        QDirIterator movies(paths::privateTempDir(), {QStringLiteral("*.mp4")}, QDir::Files,
                            QDirIterator::Subdirectories);
        return movies.hasNext();
    };

    // No frame before the stop.
    ScreenRecorder idle(std::make_shared<SilentScreen>());
    ASSERT_FALSE(await(idle.start({screen, QRect(0, 0, 200, 200), false}, false)).error);
    QTest::qWait(200);
    EXPECT_EQ(await(idle.stop()).message(), QStringLiteral("Nothing was recorded"));
    EXPECT_EQ(await(idle.stop()).message(), QStringLiteral("Not recording"));
    EXPECT_FALSE(anyMovie());

    // A screen that is gone before the start.
    EXPECT_EQ(await(ScreenRecorder(backends).start({nullptr, QRect(0, 0, 10, 10), false}, false))
                  .message(),
              QStringLiteral("Couldn't find that display"));

    // The disk fills up while writing (here: files may not grow past 150 kB): the recording
    // ends by itself with the reason, and the half-written movie is removed.
    struct rlimit before {};
    ::getrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 150 * 1024;
    ::setrlimit(RLIMIT_FSIZE, &small);
    ScreenRecorder recorder(backends);
    QString reason;
    recorder.onUnexpectedStop = [&](const QString& why) {
        reason = why;
    };
    ASSERT_FALSE(
        await(recorder.start({screen, QRect(QPoint(0, 0), screen->geometry().size()), true}, false))
            .error);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !reason.isEmpty(); }, 20000));
    ::setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_TRUE(reason.startsWith(QStringLiteral("Couldn't write the recording: ")))
        << reason.toStdString();
    EXPECT_FALSE(await(recorder.stop()).message().isEmpty());
    EXPECT_FALSE(anyMovie());
}
