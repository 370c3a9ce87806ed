// Recording and the replay buffer in a Wayland session: the real app asks the real portal
// frontend for a screen cast, whose backend here streams known pictures over PipeWire (the
// stock wlr backend can't stream on software rendering). Movies are read back with ffprobe.
#include "WaylandAppFixture.h"
#include "mediaserver/Movies.h"
#include "support/MovieFrames.h"
#include "support/Prelude.h"

#include <QTemporaryFile>

namespace {

const QString backendBinary = QStringLiteral(SHOTLARK_TEST_SCREENCAST);
constexpr int streamWidth = 640, streamHeight = 360;

class ScreenCastAppTest : public WaylandAppTest {
protected:
    void SetUp() override {
        // The backend writes what it was asked, as the session's user.
        char pattern[] = "/tmp/shotlark-screencast-XXXXXX";
        const int fd = ::mkstemp(pattern);
        ASSERT_GE(fd, 0);
        ::close(fd);
        backendLog = QString::fromLocal8Bit(pattern);
        if (::geteuid() == 0)
            QProcess::execute(u"chown"_s, {u"nobody:nogroup"_s, backendLog});
        screenCastBackend = {backendBinary, backendLog, QString::number(streamWidth),
                             QString::number(streamHeight)};
        if (dmabuf)
            screenCastBackend << u"dmabuf"_s;
        if (cropped)
            screenCastBackend << u"crop"_s << u"nosize"_s;
        WaylandAppTest::SetUp();
    }

    void TearDown() override {
        WaylandAppTest::TearDown();
        QFile::remove(backendLog);
    }

    QString backend() const {
        QFile file(backendLog);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    // Waits until the backend has written `count` lines starting with `prefix`.
    bool backendSaid(const QString& prefix, int count = 1) {
        return QTest::qWaitFor(
            [&] {
                int seen = 0;
                for (const QString& line : backend().split(u'\n'))
                    seen += line.startsWith(prefix);
                return seen >= count;
            },
            15000);
    }

    // Downloads an uploaded movie.
    QString download(const QString& link) {
        const QString path = testHome() + u"/downloaded.mp4"_s;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return QString();
        file.write(fetch(link));
        return path;
    }

    // The colour in the middle of a frame, away from the moving square.
    static QColor middle(const QImage& frame) {
        return frame.pixelColor(frame.width() / 2, frame.height() * 3 / 4);
    }

    static bool near(const QColor& got, const QColor& wanted) {
        return std::abs(got.red() - wanted.red()) < 40 &&
               std::abs(got.green() - wanted.green()) < 40 &&
               std::abs(got.blue() - wanted.blue()) < 40;
    }

    // Recognises the stream's script in a movie that began with it.
    void expectScript(const QString& movie, double until) {
        for (const auto& [seconds, colour] : {std::pair{0.5, QColor(Qt::red)},
                                              {1.6, QColor(Qt::green)}, // the still stretch
                                              {1.9, QColor(Qt::green)},
                                              {2.8, QColor(Qt::blue)}}) {
            if (seconds > until)
                break;
            const QColor seen = middle(frameAt(movie, seconds));
            EXPECT_TRUE(near(seen, colour)) << seconds << " s: " << seen.name();
        }
    }

    // Stops the recording that runs and downloads what was uploaded; empty when nothing was.
    QString stopAndDownload() {
        action(u"record"_s);
        const QString link = nextNotification(u"Uploaded, link copied"_s);
        EXPECT_TRUE(link.startsWith(url)) << link << log();
        return link.startsWith(url) ? download(link) : QString();
    }

    static void expectColour(const QImage& frame, const QList<QPoint>& points, QColor colour) {
        for (const QPoint at : points)
            EXPECT_TRUE(near(frame.pixelColor(at), colour))
                << at.x() << "," << at.y() << ": " << frame.pixelColor(at).name();
    }

    // Our area chooser over the stream's picture: a click takes the whole screen.
    void chooseWholeScreen() {
        ASSERT_TRUE(shown(u"shotlark"_s)) << log();
        QThread::msleep(200);
        click({width / 2, height / 2});
    }

    QString backendLog;
    bool dmabuf = false;  // the backend's buffers; set before SetUp
    bool cropped = false; // a window's stream: a part of each buffer marked, no size announced
};

TEST_F(ScreenCastAppTest, RecordsTheChosenStreamAtASteadyRateAndAsksOnce) {
    startApp();
    startPointer();

    // The first recording asks the desktop (no token yet), for a screen or a window, with the
    // cursor in the picture, to be remembered.
    action(u"record"_s);
    ASSERT_TRUE(backendSaid(u"start node="_s)) << log();
    EXPECT_TRUE(backend().contains(u"select types=3 cursor=2 persist=2 restore=no"_s)) << backend();
    chooseWholeScreen();
    // The stream: 1 s moving, 1.2 s of a still screen that sends nothing, then moving again.
    QTest::qWait(3300);
    action(u"record"_s);
    const QString link = nextNotification(u"Uploaded, link copied"_s);
    ASSERT_TRUE(link.startsWith(url)) << link << log();
    EXPECT_EQ(clipboard(), link);

    const QString movie = download(link);
    const Probed probed = probe(movie);
    EXPECT_EQ(probed.codec, u"h264"_s);
    EXPECT_EQ(probed.width, streamWidth);
    EXPECT_EQ(probed.height, streamHeight);
    EXPECT_GT(probed.duration, 2.8);
    EXPECT_LT(probed.duration, 4.5);
    // No gap where the screen stood still: the last picture is repeated at the frame rate.
    EXPECT_GE(probed.frames, static_cast<int>(probed.duration * 30 * 0.85)) << probed.duration;
    EXPECT_NEAR(probed.rate, 30.0, 1.0);
    expectScript(movie, 3);

    // The next recording brings the choice back without asking.
    action(u"record"_s);
    ASSERT_TRUE(backendSaid(u"start node="_s, 2)) << log();
    EXPECT_TRUE(backend().contains(u"persist=2 restore=yes"_s)) << log() << backend();
    chooseWholeScreen();
    QTest::qWait(800);

    // The desktop ends the stream (the user revoked it): the recording stops and says why;
    // nothing half-recorded is uploaded.
    ::kill(session.screenCastBackend(), SIGUSR1);
    ASSERT_TRUE(backendSaid(u"ended"_s));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return log().contains(u"Recording stopped: The desktop ended the screen stream"_s); },
        10000))
        << log();
    QTest::qWait(500);
    EXPECT_EQ(notifications.received.size(), seen) << "nothing uploaded";

    // The user closes the desktop's dialog: nothing starts, and nothing is said.
    ::kill(session.screenCastBackend(), SIGUSR2);
    QTest::qWait(100);
    action(u"record"_s);
    ASSERT_TRUE(backendSaid(u"start declined"_s));
    QTest::qWait(500);
    EXPECT_FALSE(log().contains(u"Couldn't start recording"_s)) << log();
    EXPECT_EQ(notifications.received.size(), seen);
}

TEST_F(ScreenCastAppTest, APortalThatGoesAwayIsAFailureNotAWait) {
    startApp();
    ::kill(session.screenCastBackend(), SIGHUP);
    QTest::qWait(100);
    action(u"record"_s);
    ASSERT_TRUE(backendSaid(u"start held"_s));
    // The portal goes away while its dialog is open.
    QProcess::execute(u"pkill"_s, {u"-x"_s, u"xdg-desktop-por"_s});
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return log().contains(
                u"Couldn't start recording: The desktop's screen cast portal failed (Start)"_s);
        },
        10000))
        << log();
}

TEST_F(ScreenCastAppTest, RecordsAnAreaDraggedOnTheStreamsPicture) {
    startApp();
    startPointer();
    action(u"record"_s);
    ASSERT_TRUE(backendSaid(u"start node="_s)) << log();
    ASSERT_TRUE(shown(u"shotlark"_s)) << log();
    QThread::msleep(200);
    // The screen is twice the stream's size: the dragged quarter is 320 × 180 of the stream.
    drag({width / 4, height / 4}, {width * 3 / 4, height * 3 / 4});
    QTest::qWait(1500);
    const QString movie = stopAndDownload();
    ASSERT_FALSE(movie.isEmpty());
    const Probed probed = probe(movie);
    EXPECT_NEAR(probed.width, streamWidth / 2, 2);
    EXPECT_NEAR(probed.height, streamHeight / 2, 2);
    // Below the moving square: all of it the stream's colour.
    const QImage frame = frameAt(movie, 0.5);
    expectColour(frame, {QPoint(1, 1), QPoint(frame.width() - 2, frame.height() - 2)}, Qt::red);
}

// DMA-BUFs the stream doesn't map, with only a part of each marked as the picture, and no size
// announced: a window's stream, as KDE sends one.
class WindowScreenCastAppTest : public ScreenCastAppTest {
protected:
    WindowScreenCastAppTest() {
        dmabuf = true;
        cropped = true;
    }
};

TEST_F(WindowScreenCastAppTest, ReadsTheMarkedPartOfBuffersItMustMapItself) {
    startApp();
    action(u"record"_s);
    ASSERT_TRUE(backendSaid(u"start node="_s)) << log();
    QTest::qWait(2000);
    const QString movie = stopAndDownload();
    ASSERT_FALSE(movie.isEmpty());
    const Probed probed = probe(movie);
    EXPECT_EQ(probed.width, streamWidth / 2);
    EXPECT_EQ(probed.height, streamHeight * 2 / 3);
    EXPECT_GE(probed.frames, static_cast<int>(probed.duration * 30 * 0.85)) << probed.duration;
    expectScript(movie, 1.9);
    // Nothing from outside the marked part, not even at the edges.
    const QImage frame = frameAt(movie, 0.5);
    expectColour(frame,
                 {QPoint(1, frame.height() - 2), QPoint(frame.width() - 2, 30),
                  QPoint(frame.width() - 2, frame.height() - 2)},
                 Qt::red);
}

TEST_F(ScreenCastAppTest, ReplayBufferKeepsRecordingAStillScreen) {
    Config::shared().setBool(keys::replayEnabled, true);
    session.giveToUser(qEnvironmentVariable("XDG_CONFIG_HOME"));
    startApp();
    ASSERT_TRUE(backendSaid(u"start node="_s)) << log();
    // Segments rotate on the recorder's own clock, through the still stretch as well.
    QTest::qWait(3500);
    action(u"replay"_s);
    const QString link = nextNotification(u"Replay saved, link copied"_s);
    ASSERT_TRUE(link.startsWith(url)) << link << log();
    const Probed probed = probe(download(link));
    EXPECT_EQ(probed.codec, u"h264"_s);
    EXPECT_EQ(probed.width, streamWidth);
    EXPECT_GT(probed.duration, 2.5);
    EXPECT_GE(probed.frames, static_cast<int>(probed.duration * 30 * 0.85)) << probed.duration;
}

} // namespace
