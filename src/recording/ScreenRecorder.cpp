#include "recording/ScreenRecorder.h"

#include "base/Errors.h"
#include "base/Worker.h"
#include "overlay/SelectionOverlay.h"
#include "platform/Recording.h"
#include "store/Config.h"
#include "store/Paths.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QGuiApplication>
#include <QPointer>
#include <QPromise>
#include <QScreen>

#include <atomic>
#include <cmath>
#include <vector>

namespace shotlark {

using platform::Nanoseconds;

// Everything of one recording that frames and sound touch; lives on the recorder's thread, and
// only that thread calls into it once started.
class ScreenRecorder::Pipeline : public QObject {
public:
    explicit Pipeline(platform::RecordingBackends& backends) : backends_(backends) {}

    // Called on the recorder thread. Returns why there is no sound, when sound was wanted and
    // the sound server could not be reached.
    QString open(const platform::MovieFormat& wanted, const QRect& area,
                 std::shared_ptr<platform::ScreenCast> stream,
                 std::function<void(const QString&)> unexpected) {
        unexpected_ = std::move(unexpected);
        platform::MovieFormat format = wanted;
        QString audioProblem;
        if (format.audio) {
            audio_ = backends_.audioSource();
            try {
                audio_->start({[this](const float* samples, int frames, Nanoseconds time) {
                                   heard(samples, frames, time);
                               },
                               [this](const QString& reason) {
                                   QMetaObject::invokeMethod(
                                       this, [this, reason] { end(reason); }, Qt::QueuedConnection);
                               }});
            } catch (const Error& error) {
                audio_.reset();
                format.audio = false;
                audioProblem = error.message();
            }
        }
        writer_ = backends_.movieWriter();
        try {
            writer_->open(format);
            stream_ = std::move(stream); // the desktop's stream lasts as long as it is held
            source_ = stream_ ? stream_->frameSource() : backends_.frameSource();
            source_->start(
                area, format.fps,
                {[this](const QImage& picture, Nanoseconds time) { seen(picture, time); },
                 [this](const QString& reason) {
                     end(reason);
                 }});
        } catch (...) {
            shutdown();
            throw;
        }
        return audioProblem;
    }

    // Stops taking frames and sound and completes the movie (all on the recorder thread).
    void finish(Nanoseconds end) {
        stopping_ = true;
        stopSources();
        // The desktop stops showing that the screen is shared.
        source_.reset();
        stream_.reset();
        if (failed_)
            throw Error(failure_);
        if (!sessionStarted_) {
            writer_->cancel();
            throw Error(QStringLiteral("Nothing was recorded"));
        }
        try {
            writer_->finish(end - sessionStart_);
        } catch (const Error& error) {
            throw Error(error.message().isEmpty()
                            ? QStringLiteral("The recording couldn't be saved")
                            : error.message());
        }
        finished_ = true;
    }

    // Leaves nothing running and no unfinished file (on the recorder thread).
    void shutdown() {
        stopping_ = true;
        stopSources();
        source_.reset();
        stream_.reset();
        if (writer_ && !finished_)
            writer_->cancel();
        writer_.reset();
    }

private:
    void stopSources() {
        if (source_)
            source_->stop();
        if (audio_)
            audio_->stop();
        audio_.reset();
    }

    void seen(const QImage& picture, Nanoseconds time) {
        if (stopping_ || failed_)
            return;
        if (!sessionStarted_) {
            sessionStart_ = time; // the movie's time line starts at its first frame
            sessionStarted_ = true;
        }
        try {
            writer_->writeVideo(picture, time - sessionStart_);
        } catch (const Error& error) {
            end(error.message());
        }
    }

    // On the sound source's thread: handed to the recorder thread, at most a second behind.
    void heard(const float* samples, int frames, Nanoseconds time) {
        if (pending_.load() > 50)
            return;
        ++pending_;
        std::vector<float> copy(samples, samples + 2 * frames);
        QMetaObject::invokeMethod(
            this,
            [this, copy = std::move(copy), frames, time] {
                --pending_;
                if (stopping_ || failed_ || !sessionStarted_)
                    return; // sound before the first frame is not in the movie
                try {
                    writer_->writeAudio(copy.data(), frames, time - sessionStart_);
                } catch (const Error& error) {
                    end(error.message());
                }
            },
            Qt::QueuedConnection);
    }

    // The recording ended by itself: nothing half-written is kept.
    void end(const QString& reason) {
        if (stopping_ || failed_)
            return;
        failed_ = true;
        failure_ = reason;
        stopSources();
        if (writer_)
            writer_->cancel();
        if (unexpected_)
            unexpected_(reason);
    }

    platform::RecordingBackends& backends_;
    std::shared_ptr<platform::ScreenCast> stream_;
    std::unique_ptr<platform::FrameSource> source_;
    std::unique_ptr<platform::AudioSource> audio_;
    std::unique_ptr<platform::MovieWriter> writer_;
    std::function<void(const QString&)> unexpected_;
    std::atomic<int> pending_{0};
    bool sessionStarted_ = false;
    Nanoseconds sessionStart_{};
    bool stopping_ = false;
    bool failed_ = false;
    bool finished_ = false;
    QString failure_;
};

ScreenRecorder::Settings ScreenRecorder::Settings::fromConfig() {
    const Config& config = Config::shared();
    const bool high = config.boolValue(keys::recordHighQuality);
    Settings settings;
    settings.frameRate = config.integerValue(keys::recordFrameRate) == 60 ? 60 : 30;
    settings.maxEdge = high ? 2560 : 1920;
    settings.bitsPerPixel = high ? 0.1 : 0.06;
    settings.maxBitrate = high ? 20'000'000 : 8'000'000;
    return settings;
}

QSize ScreenRecorder::movieSize(QSizeF pixels, double maxEdge) {
    const double longest = std::max(pixels.width(), pixels.height());
    const double factor = longest > 0 ? std::min(maxEdge / longest, 1.0) : 1.0;
    auto side = [factor](double length) {
        const int cut = std::max(2, static_cast<int>(std::floor(length * factor)));
        return cut & ~1;
    };
    return QSize(side(pixels.width()), side(pixels.height()));
}

qint64 ScreenRecorder::bitrate(QSize size, int frameRate, double bitsPerPixel, double maxBitrate) {
    const qint64 pixels = static_cast<qint64>(size.width()) * size.height() * frameRate;
    return static_cast<qint64>(
        std::min(maxBitrate, std::max(1'500'000.0, static_cast<double>(pixels) * bitsPerPixel)));
}

QString ScreenRecorder::fileName(const QDateTime& when) {
    return QStringLiteral("Recording_") + when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")) +
           QStringLiteral(".mp4");
}

ScreenRecorder::ScreenRecorder(std::shared_ptr<platform::RecordingBackends> backends)
    : settings_(Settings::fromConfig()), backends_(std::move(backends)) {
    thread_.setObjectName(QStringLiteral("shotlark.recorder"));
    pipeline_ = new Pipeline(*backends_);
    pipeline_->moveToThread(&thread_);
    thread_.start();
}

ScreenRecorder::~ScreenRecorder() {
    // Nothing may run on the thread when it goes, and no half movie may stay behind.
    QMetaObject::invokeMethod(
        pipeline_, [pipeline = pipeline_] { pipeline->shutdown(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    delete pipeline_;
}

QCoro::Task<> ScreenRecorder::start(Selection selection, bool captureAudio) {
    // The grabbed area in device pixels of the desktop, or the whole stream.
    QRect area;
    QSizeF pixels;
    if (selection.stream) {
        const QSize whole = selection.stream->size();
        area = QRect(QPoint(), whole);
        // An area chosen on the stream's picture, shown full-screen on the selection's screen.
        if (!selection.isFullScreen && selection.screen && !selection.screen->size().isEmpty()) {
            const double x = double(whole.width()) / selection.screen->size().width();
            const double y = double(whole.height()) / selection.screen->size().height();
            const QRectF& chosen = selection.rect;
            const QRect part =
                QRectF(chosen.x() * x, chosen.y() * y, chosen.width() * x, chosen.height() * y)
                    .toRect() &
                area;
            if (part.width() >= 2 && part.height() >= 2)
                area = part;
        }
        pixels = QSizeF(area.size());
    } else {
        // The selection's screen must still be one of the desktop's.
        const QList<QScreen*> screens = QGuiApplication::screens();
        const qsizetype index = selection.screen ? screens.indexOf(selection.screen.data()) : -1;
        if (index < 0)
            throw UploaderError(QStringLiteral("Couldn't find that display"));
        const overlay::ScreenSpace space = overlay::ScreenSpace::all().at(index);
        pixels = QSizeF(selection.rect.size()) * space.ratio;
        // Never less than 2 × 2.
        area = QRect(
            space.native.topLeft() + (QPointF(selection.rect.topLeft()) * space.ratio).toPoint(),
            QSize(std::max(2, qRound(pixels.width())), std::max(2, qRound(pixels.height()))));
    }
    platform::MovieFormat format;
    format.size = movieSize(pixels, settings_.maxEdge);
    format.fps = settings_.frameRate;
    format.keyInterval = 2 * settings_.frameRate;
    format.bitrate = bitrate(format.size, format.fps, settings_.bitsPerPixel, settings_.maxBitrate);
    format.audio = captureAudio;
    const QString dir = paths::newCaptureDir();
    if (dir.isEmpty())
        throw FileError(QStringLiteral("Couldn't make a place for the recording in ") +
                        paths::privateTempDir());
    format.path = dir + QLatin1Char('/') + fileName(QDateTime::currentDateTime());

    QPointer<ScreenRecorder> self(this);
    auto unexpected = [self](const QString& reason) {
        // From the recorder thread to the main thread; a stop that was asked for wins.
        QMetaObject::invokeMethod(
            self.data(),
            [self, reason] {
                if (!self || self->stopping_ || !self->onUnexpectedStop)
                    return;
                // A copy: the owner may drop this recorder, and the handler with it, from there.
                const auto handler = self->onUnexpectedStop;
                handler(reason);
            },
            Qt::QueuedConnection);
    };
    Pipeline* pipeline = pipeline_;
    auto opening =
        onThreadOf(pipeline, [pipeline, format, area, stream = selection.stream, unexpected] {
            return pipeline->open(format, area, stream, unexpected);
        });
    try {
        audioProblem_ = co_await std::move(opening);
    } catch (...) {
        paths::removeTemporary(format.path);
        throw;
    }
    path_ = format.path;
    started_ = true;
}

QCoro::Task<QImage> ScreenRecorder::firstPicture(std::shared_ptr<platform::ScreenCast> stream) {
    std::unique_ptr<platform::FrameSource> source = stream->frameSource();
    // A void future: awaiting a valued one reads its result, and a failed stream has none.
    struct Outcome {
        QPromise<void> promise;
        QImage picture;
        QString problem;
    };
    auto outcome = std::make_shared<Outcome>();
    QFuture<void> done = outcome->promise.future();
    outcome->promise.start();
    // On this thread, from its event loop; the source gives up by itself on a silent stream.
    source->start({}, 30,
                  {[outcome](const QImage& picture, Nanoseconds) {
                       if (outcome->promise.future().isFinished())
                           return;
                       outcome->picture = picture.copy();
                       outcome->promise.finish();
                   },
                   [outcome](const QString& reason) {
                       if (outcome->promise.future().isFinished())
                           return;
                       outcome->problem = reason;
                       outcome->promise.finish();
                   }});
    co_await done;
    source->stop();
    if (outcome->picture.isNull())
        throw Error(outcome->problem.isEmpty() ? QStringLiteral("The screen stream sent no picture")
                                               : outcome->problem);
    co_return outcome->picture;
}

QCoro::Task<QString> ScreenRecorder::stop() {
    if (!started_ || stopping_)
        throw UploaderError(QStringLiteral("Not recording"));
    stopping_ = true;
    const Nanoseconds end = platform::monotonicNow();
    Pipeline* pipeline = pipeline_;
    auto finishing = onThreadOf(pipeline, [pipeline, end] { pipeline->finish(end); });
    try {
        co_await std::move(finishing);
    } catch (...) {
        paths::removeTemporary(path_);
        throw;
    }
    co_return path_;
}

} // namespace shotlark
