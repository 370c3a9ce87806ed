#include "recording/ReplayBuffer.h"

#include "base/Errors.h"
#include "base/Worker.h"
#include "overlay/SelectionOverlay.h"
#include "platform/Recording.h"
#include "recording/ScreenRecorder.h"
#include "store/Paths.h"

#include <QCursor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

#include <unistd.h>

namespace shotlark {

using platform::Nanoseconds;

// The segments: the one being written and the finished ones. Lives on the buffer's thread;
// nothing else touches it once started.
class ReplayBuffer::Segments : public QObject {
public:
    Segments(platform::RecordingBackends& backends, QString dir)
        : backends_(backends), dir_(std::move(dir)) {}

    void start(const QRect& area, QSize size, std::shared_ptr<platform::ScreenCast> stream,
               std::function<void(const QString&)> unexpected) {
        size_ = size;
        unexpected_ = std::move(unexpected);
        stream_ = std::move(stream); // the desktop's stream lasts as long as it is held
        source_ = stream_ ? stream_->frameSource() : backends_.frameSource();
        source_->start(area, frameRate,
                       {[this](const QImage& picture, Nanoseconds time) { seen(picture, time); },
                        [this](const QString& reason) {
                            stopped_ = true;
                            closeWriter();
                            if (unexpected_)
                                unexpected_(reason);
                        }});
    }

    // Closes the open segment and copies the finished ones.
    QStringList save() {
        if (writer_)
            rotate(platform::monotonicNow());
        return copies();
    }

    void shutdown() {
        stopped_ = true;
        if (source_)
            source_->stop();
        source_.reset();
        stream_.reset();
        closeWriter();
    }

    int counter() const { return counter_; }

private:
    static constexpr int frameRate = 30;

    void seen(const QImage& picture, Nanoseconds time) {
        if (stopped_)
            return;
        // The frame that reaches ten seconds closes the segment and starts the next one.
        if (writer_ && time - segmentStart_ >= std::chrono::seconds(segmentSeconds))
            rotate(time);
        if (!writer_)
            startWriter(time);
        if (!writer_)
            return;
        try {
            writer_->writeVideo(picture, time - segmentStart_);
        } catch (const Error&) {
            closeWriter(); // this segment is lost; the next frame starts another
        }
    }

    void startWriter(Nanoseconds time) {
        ++counter_;
        const QString path = dir_ + QStringLiteral("/segment-%1.mp4").arg(counter_);
        platform::MovieFormat format;
        format.path = path;
        format.size = size_;
        format.fps = frameRate;
        format.keyInterval = 2 * frameRate;
        format.bitrate = ScreenRecorder::bitrate(size_, frameRate, 0.06, 8'000'000);
        auto writer = backends_.movieWriter();
        try {
            writer->open(format);
        } catch (const Error&) {
            return; // silently skipped: the next frame tries again with the next number
        }
        writer_ = std::move(writer);
        current_ = path;
        segmentStart_ = time;
    }

    void rotate(Nanoseconds time) {
        std::unique_ptr<platform::MovieWriter> writer = std::move(writer_);
        const QString path = std::exchange(current_, QString());
        try {
            writer->finish(time - segmentStart_);
        } catch (const Error&) {
            return; // left out; the writer removed its file
        }
        finished_.append(path);
        while (finished_.size() > maxFinished)
            QFile::remove(finished_.takeFirst());
    }

    void closeWriter() {
        if (writer_)
            writer_->cancel();
        writer_.reset();
        current_.clear();
    }

    // "Replay_" copies of the finished segments, oldest first: hard links, which share the
    // bytes (the buffer never changes a finished segment), or plain copies across devices.
    QStringList copies() const {
        QStringList made;
        for (const QString& segment : finished_) {
            const QString copy =
                paths::temporaryPath(QStringLiteral("Replay_")) + QStringLiteral(".mp4");
            if (::link(QFile::encodeName(segment).constData(),
                       QFile::encodeName(copy).constData()) == 0 ||
                QFile::copy(segment, copy))
                made.append(copy);
        }
        return made;
    }

    platform::RecordingBackends& backends_;
    const QString dir_;
    QSize size_;
    std::function<void(const QString&)> unexpected_;
    std::shared_ptr<platform::ScreenCast> stream_;
    std::unique_ptr<platform::FrameSource> source_;
    std::unique_ptr<platform::MovieWriter> writer_;
    QString current_;
    Nanoseconds segmentStart_{};
    QStringList finished_;
    int counter_ = 0;
    bool stopped_ = false;
};

ReplayBuffer::ReplayBuffer(std::shared_ptr<platform::RecordingBackends> backends)
    : backends_(std::move(backends)),
      dir_(paths::privateTempDir() + QStringLiteral("/slk-replay-") + paths::uuidString()) {
    thread_.setObjectName(QStringLiteral("shotlark.replay"));
    segments_ = new Segments(*backends_, dir_);
    segments_->moveToThread(&thread_);
    thread_.start();
}

ReplayBuffer::~ReplayBuffer() {
    QMetaObject::invokeMethod(
        segments_, [segments = segments_] { segments->shutdown(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    delete segments_;
    QDir(dir_).removeRecursively();
}

QCoro::Task<> ReplayBuffer::start(std::shared_ptr<platform::ScreenCast> stream) {
    QRect area;
    if (stream) {
        area = QRect(QPoint(), stream->size());
    } else {
        // The screen under the pointer, else the primary one.
        QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        const QList<QScreen*> screens = QGuiApplication::screens();
        const qsizetype index = screen ? screens.indexOf(screen) : -1;
        if (index < 0)
            throw UploaderError(QStringLiteral("No display to record"));
        area = overlay::ScreenSpace::all().at(index).native;
    }
    const QSize size = ScreenRecorder::movieSize(QSizeF(area.size()), 1920);
    if (!paths::ensurePrivateDir(dir_))
        throw FileError(QStringLiteral("Couldn't create %1").arg(dir_));

    QPointer<ReplayBuffer> self(this);
    auto unexpected = [self](const QString& reason) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, reason] {
                if (!self)
                    return;
                self->running_ = false;
                if (self->stopping_ || !self->onUnexpectedStop)
                    return;
                const auto handler = self->onUnexpectedStop; // the owner may drop us there
                handler(reason);
            },
            Qt::QueuedConnection);
    };
    Segments* segments = segments_;
    auto starting = onThreadOf(segments, [segments, area, size, stream, unexpected] {
        segments->start(area, size, stream, unexpected);
    });
    co_await std::move(starting);
    running_ = true;
}

QCoro::Task<QStringList> ReplayBuffer::save() {
    Segments* segments = segments_;
    auto saving = onThreadOf(segments, [segments] { return segments->save(); });
    QStringList copies = co_await std::move(saving);
    co_return copies;
}

QCoro::Task<> ReplayBuffer::stop() {
    stopping_ = true;
    running_ = false;
    Segments* segments = segments_;
    auto stopping = onThreadOf(segments, [segments] { segments->shutdown(); });
    co_await std::move(stopping);
    QDir(dir_).removeRecursively();
}

} // namespace shotlark
