// The replay buffer with real segments (FFmpeg) from a frame source the test drives: frames at
// chosen moments, so that minutes of buffer take a second.
#include "recording/ReplayBuffer.h"
#include "platform/RecordingBackends.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/Programs.h"

#include <sys/stat.h>

namespace {

// Real movie writers; frames come when the test says, stamped where the test says.
struct ScriptedScreen : platform::LinuxRecordingBackends {
    struct Source : platform::FrameSource {
        explicit Source(ScriptedScreen& owner) : owner(owner) {}
        void start(const QRect&, int, Handlers handlers) override {
            owner.handlers = std::move(handlers);
            owner.context = std::make_unique<QObject>(); // on the buffer's thread
            owner.base = platform::monotonicNow();
        }
        void stop() override {}
        ScriptedScreen& owner;
    };
    std::unique_ptr<platform::FrameSource> frameSource() override {
        return std::make_unique<Source>(*this);
    }

    // Frames from `from` to `to` seconds after the start, every half second.
    void frames(double from, double to) {
        QImage picture(320, 200, QImage::Format_RGB32);
        for (double at = from; at <= to + 1e-9; at += 0.5) {
            picture.fill(QColor::fromHsv(static_cast<int>(at * 20) % 360, 200, 200));
            const auto time = base + std::chrono::nanoseconds(static_cast<qint64>(at * 1e9));
            QMetaObject::invokeMethod(
                context.get(), [this, &picture, time] { handlers.frame(picture, time); },
                Qt::BlockingQueuedConnection);
        }
    }

    void fail(const QString& reason) {
        QMetaObject::invokeMethod(
            context.get(), [this, reason] { handlers.stopped(reason); },
            Qt::BlockingQueuedConnection);
    }

    platform::FrameSource::Handlers handlers;
    std::unique_ptr<QObject> context;
    platform::Nanoseconds base{};
};

QStringList segmentsIn(const QString& dir) {
    return QDir(dir).entryList({u"segment-*.mp4"_s}, QDir::Files, QDir::Name);
}

ino_t inodeOf(const QString& file) {
    struct stat st {};
    ::stat(QFile::encodeName(file).constData(), &st);
    return st.st_ino;
}

} // namespace

TEST(ReplayBufferTest, RollingSegmentsAndSavedCopies) {
    auto screen = std::make_shared<ScriptedScreen>();
    ReplayBuffer buffer(screen);
    ASSERT_FALSE(await(buffer.start()).error);
    EXPECT_TRUE(buffer.isRunning());
    const QString dir = buffer.directory();
    EXPECT_TRUE(QFileInfo(dir).fileName().startsWith(u"slk-replay-"_s));
    EXPECT_TRUE(QFileInfo(dir).isDir());

    // Before the first frame there is nothing to save.
    EXPECT_TRUE(await(buffer.save()).value->isEmpty());

    // Three seconds in, a save closes the first segment early: one short copy.
    screen->frames(0, 3);
    QStringList copies = *await(buffer.save()).value;
    ASSERT_EQ(copies.size(), 1);
    EXPECT_TRUE(QFileInfo(copies[0]).fileName().startsWith(u"Replay_"_s));
    EXPECT_TRUE(copies[0].startsWith(paths::privateTempDir()));
    EXPECT_NEAR(probe(copies[0]).duration, 3.0, 0.6);
    QFile::remove(copies[0]);

    // Forty more seconds: segments of ten seconds, the fifth finished one pushes out the first,
    // numbering without gaps, never more than five on disk.
    screen->frames(3.5, 13.0);
    EXPECT_EQ(segmentsIn(dir), (QStringList{u"segment-1.mp4"_s, u"segment-2.mp4"_s}));
    screen->frames(13.5, 44.0);
    EXPECT_EQ(segmentsIn(dir),
              (QStringList{u"segment-2.mp4"_s, u"segment-3.mp4"_s, u"segment-4.mp4"_s,
                           u"segment-5.mp4"_s, u"segment-6.mp4"_s}));

    // Two saves at once: both answered with the same four segments, oldest first; the copies
    // share the segments' bytes.
    auto first = buffer.save();
    auto second = buffer.save();
    copies = *await(std::move(first)).value;
    const QStringList again = *await(std::move(second)).value;
    ASSERT_EQ(copies.size(), 4);
    ASSERT_EQ(again.size(), 4);
    EXPECT_EQ(segmentsIn(dir), (QStringList{u"segment-3.mp4"_s, u"segment-4.mp4"_s,
                                            u"segment-5.mp4"_s, u"segment-6.mp4"_s}));
    for (int i = 0; i < 4; ++i) {
        const QString segment = dir + u"/segment-%1.mp4"_s.arg(i + 3);
        EXPECT_EQ(inodeOf(copies[i]), inodeOf(segment)) << "a hard link";
        EXPECT_NEAR(probe(copies[i]).duration, i < 3 ? 10.0 : 0.5, 0.6) << i;
    }

    // Stopping removes the segments; the copies stay with the caller.
    ASSERT_FALSE(await(buffer.stop()).error);
    EXPECT_FALSE(buffer.isRunning());
    EXPECT_FALSE(QFileInfo::exists(dir));
    for (const QString& copy : copies + again) {
        EXPECT_TRUE(QFile::exists(copy));
        QFile::remove(copy);
    }
}

TEST(ReplayBufferTest, CaptureThatEndsByItselfIsReported) {
    auto screen = std::make_shared<ScriptedScreen>();
    ReplayBuffer buffer(screen);
    QString reason;
    buffer.onUnexpectedStop = [&](const QString& why) {
        reason = why;
    };
    ASSERT_FALSE(await(buffer.start()).error);
    screen->frames(0, 2);
    screen->fail(u"The screen being recorded is gone"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reason.isEmpty(); }, 5000));
    EXPECT_EQ(reason, u"The screen being recorded is gone"_s);
    EXPECT_FALSE(buffer.isRunning());
    EXPECT_TRUE(segmentsIn(buffer.directory()).isEmpty()) << "the open segment is dropped";
}
