// The recorder on the harness's Xvfb with moving content: real MIT-SHM frames, libx264 and the
// MPEG-4 muxer; movies are read back with ffprobe and ffmpeg.
#include "recording/ScreenRecorder.h"
#include "base/Errors.h"
#include "platform/RecordingBackends.h"
#include "recording/MeasuredScreenCast.h"
#include "recording/RegionSelector.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/MovieFrames.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/ScreenDriver.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include <sys/resource.h>

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

// Frame numbers of the key frames, and the frame count at the end.
QList<int> keyFrames(const QString& movie) {
    QList<int> keys;
    const QStringList flags = ffprobe({u"-select_streams"_s, u"v"_s, u"-show_entries"_s,
                                       u"frame=key_frame"_s, u"-of"_s, u"csv=p=0"_s, movie})
                                  .split(u'\n', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < flags.size(); ++i) {
        if (flags[i].startsWith(u'1')) // "1," for a key frame
            keys.append(static_cast<int>(i));
    }
    keys.append(static_cast<int>(flags.size()));
    return keys;
}

bool anyMovieLeft() {
    return QDirIterator(paths::privateTempDir(), {u"*.mp4"_s}, QDir::Files,
                        QDirIterator::Subdirectories)
        .hasNext();
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
        EXPECT_FALSE(started.error) << started.message();
        if (started.error)
            return QString();
        QTest::qWait(ms);
        auto stopped = await(recorder.stop());
        EXPECT_FALSE(stopped.error) << stopped.message();
        return stopped.value.value_or(QString());
    }

    MovingPicture picture;
    std::shared_ptr<platform::LinuxRecordingBackends> backends;
};

} // namespace

TEST_F(ScreenRecorderTest, AreaMovieHasTheStatedFormat) {
    // The pointer rests over the plain grey part of the area.
    xdotool({u"mousemove"_s, u"700"_s, u"300"_s});
    QScreen* screen = QGuiApplication::primaryScreen();
    const Selection selection{screen, QRect(500, 150, 301, 201), false};
    RecordingFrame frame;
    frame.show(selection);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.window()));

    const QString movie = record(selection, 3000);
    ASSERT_FALSE(movie.isEmpty());
    EXPECT_TRUE(QFileInfo(movie).fileName().startsWith(u"Recording_"_s));
    EXPECT_TRUE(movie.startsWith(paths::privateTempDir()));

    const Probed probed = probe(movie);
    EXPECT_EQ(probed.codec, u"h264"_s);
    EXPECT_EQ(probed.profile, u"High"_s);
    EXPECT_EQ(probed.width, 300) << "301 cut to even";
    EXPECT_EQ(probed.height, 200);
    EXPECT_NEAR(probed.rate, 30.0, 1.0);
    EXPECT_TRUE(probed.audio.isEmpty()) << "no sound unless asked";
    EXPECT_NEAR(probed.duration, 3.0, 0.2);

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


namespace {

// A private PulseAudio server with a null sink whose monitor is the default source.
std::unique_ptr<ChildProcess> startPulse(const QString& socket) {
    auto pulse = ChildProcess::start(
        {u"pulseaudio"_s, u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s,
         u"--disallow-exit"_s, u"--log-target=stderr"_s, u"--log-level=error"_s, u"-L"_s,
         u"module-native-protocol-unix socket=%1 auth-anonymous=1"_s.arg(socket), u"-L"_s,
         u"module-null-sink sink_name=testsink"_s, u"-L"_s, u"module-always-sink"_s});
    if (!pulse || !QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 10000))
        return nullptr;
    return pulse;
}

double rmsOfSound(const QString& movie) {
    const QString wav = testHome() + u"/sound.wav"_s;
    QProcess::execute(u"ffmpeg"_s,
                      {u"-v"_s, u"error"_s, u"-y"_s, u"-i"_s, movie, u"-map"_s, u"0:a"_s, wav});
    for (const QString& line : run({u"sox"_s, wav, u"-n"_s, u"stat"_s}).err.split(u'\n')) {
        if (line.startsWith(u"RMS     amplitude:"_s))
            return line.mid(line.indexOf(':') + 1).trimmed().toDouble();
    }
    return -1;
}

} // namespace

TEST_F(ScreenRecorderTest, SoundOfTheSpeakersWhenAsked) {
    const QString socket = testHome() + u"/pulse.sock"_s;
    auto pulse = startPulse(socket);
    ASSERT_TRUE(pulse) << "pulseaudio did not start";
    ::setenv("PULSE_SERVER", QFile::encodeName(u"unix:"_s + socket).constData(), 1);
    const QString tone = testHome() + u"/tone.wav"_s;
    ASSERT_EQ(QProcess::execute(u"sox"_s, {u"-n"_s, u"-r"_s, u"48000"_s, u"-c"_s, u"2"_s, u"-b"_s,
                                           u"16"_s, u"-e"_s, u"signed"_s, tone, u"synth"_s, u"6"_s,
                                           u"sine"_s, u"440"_s}),
              0);
    QProcess player;
    player.start(u"paplay"_s, {tone});
    ASSERT_TRUE(player.waitForStarted());
    QTest::qWait(300);

    QScreen* screen = QGuiApplication::primaryScreen();
    const QString movie = record({screen, QRect(0, 0, 320, 240), false}, 3000, true);
    ASSERT_FALSE(movie.isEmpty());
    const QJsonObject audio = probe(movie).audio;
    EXPECT_EQ(audio[u"codec_name"_s], u"aac"_s);
    EXPECT_EQ(audio[u"sample_rate"_s], u"48000"_s);
    EXPECT_EQ(audio[u"channels"_s], 2);
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
        EXPECT_TRUE(reason.startsWith(u"The sound server went away"_s)) << reason;
    }

    // Without a sound server the recording goes on without sound, and says why.
    ::setenv("PULSE_SERVER", "unix:/nonexistent/pulse.sock", 1);
    ScreenRecorder silent(backends);
    auto started = await(silent.start({screen, QRect(0, 0, 320, 240), false}, true));
    ASSERT_FALSE(started.error) << started.message();
    EXPECT_FALSE(silent.audioProblem().isEmpty());
    QTest::qWait(500);
    auto stopped = await(silent.stop());
    ASSERT_FALSE(stopped.error);
    EXPECT_TRUE(probe(*stopped.value).audio.isEmpty());
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

// A desktop's screen stream that sends no picture, and gives up as a real one does. It
// announces a size that is not its pictures' (KDE's window streams announce none).
struct SilentStream : platform::ScreenCast {
    struct Source : platform::FrameSource {
        explicit Source(QRect* asked) : asked(asked) {}
        void start(const QRect& area, int, Handlers handlers) override {
            *asked = area;
            QTimer::singleShot(
                50, [handlers] { handlers.stopped(u"The screen stream sent no picture"_s); });
        }
        void stop() override {}
        QRect* asked;
    };
    QRect asked; // the area the last source was started with
    QSize size() const override { return {1280, 720}; }
    QRect placement() const override { return {}; }
    bool isWindow() const override { return false; }
    std::unique_ptr<platform::FrameSource> frameSource() override {
        return std::make_unique<Source>(&asked);
    }
};

} // namespace

TEST_F(ScreenRecorderTest, FailuresLeaveNoMovieBehind) {
    QScreen* screen = QGuiApplication::primaryScreen();

    // No frame before the stop.
    ScreenRecorder idle(std::make_shared<SilentScreen>());
    ASSERT_FALSE(await(idle.start({screen, QRect(0, 0, 200, 200), false}, false)).error);
    QTest::qWait(200);
    EXPECT_EQ(await(idle.stop()).message(), u"Nothing was recorded"_s);
    EXPECT_EQ(await(idle.stop()).message(), u"Not recording"_s);
    EXPECT_FALSE(anyMovieLeft());

    // A stream that never sends its first picture is a message, not a crash.
    auto stream = std::make_shared<SilentStream>();
    EXPECT_EQ(await(ScreenRecorder::firstPicture(stream)).message(),
              u"The screen stream sent no picture"_s);

    // A stream measured by its pictures (640 × 360): areas in their pixels reach the desktop's
    // stream in its own units, and the movie gets the pictures' size, not the announced one.
    MeasuredScreenCast measured(stream, QSize(640, 360));
    EXPECT_EQ(measured.size(), QSize(640, 360));
    measured.frameSource()->start(QRect(64, 36, 320, 180), 30,
                                  {[](const QImage&, platform::Nanoseconds) {},
                                   [](const QString&) {
                                   }});
    EXPECT_EQ(stream->asked, QRect(128, 72, 640, 360));

    // A screen that is gone before the start.
    EXPECT_EQ(await(ScreenRecorder(backends).start({nullptr, QRect(0, 0, 10, 10), false}, false))
                  .message(),
              u"Couldn't find that display"_s);

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
    EXPECT_TRUE(reason.startsWith(u"Couldn't write the recording: "_s)) << reason;
    EXPECT_FALSE(await(recorder.stop()).message().isEmpty());
    EXPECT_FALSE(anyMovieLeft());
}
