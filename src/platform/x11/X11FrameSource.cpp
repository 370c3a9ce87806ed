#include "platform/x11/X11FrameSource.h"

#include "base/Errors.h"
#include "platform/FrameClock.h"
#include "platform/x11/ShmGrabber.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <mutex>

namespace shotlark::platform::x11 {

namespace {

// Grabs on a thread of its own, on a steady clock, and hands the pictures to the thread that
// started it through a short queue: a slow encode there delays pictures, and costs one only when
// the queue is full, never a grab.
class X11FrameSource : public FrameSource {
public:
    ~X11FrameSource() override { stop(); }

    void start(const QRect& area, int fps, Handlers handlers) override {
        // One segment for each waiting picture, one being encoded, one being grabbed: pictures
        // are handed over without a copy.
        grabber_ = std::make_unique<ShmGrabber>(nullptr, true, int(queueLimit) + 2);
        if (!grabber_->isValid())
            throw Error(QStringLiteral("Couldn't read the screen (no X display with MIT-SHM)"));
        if (grabber_->grab(area).isNull())
            throw Error(QStringLiteral("Couldn't find that display"));
        area_ = area;
        handlers_ = std::move(handlers);
        home_ = std::make_unique<QObject>(); // the starting thread, where handlers are called
        lastCheck_ = monotonicNow();
        running_ = true;
        thread_.setObjectName(QStringLiteral("shotlark.grab"));
        thread_.start();
        clockHome_.moveToThread(&thread_);
        QMetaObject::invokeMethod(&clockHome_, [this, fps] {
            clock_ = std::make_unique<FrameClock>();
            clock_->start(fps, [this] { tick(); });
        });
    }

    void stop() override {
        running_ = false; // the handlers may be running right now: they are kept, not called
        if (thread_.isRunning()) {
            QMetaObject::invokeMethod(
                &clockHome_, [this] { clock_.reset(); }, Qt::BlockingQueuedConnection);
            thread_.quit();
            thread_.wait();
        }
        std::lock_guard lock(queueMutex_);
        queue_.clear();
    }

private:
    static constexpr size_t queueLimit = 4; // pictures waiting for the encoder (0.13 s), at most

    // On the grab thread.
    void tick() {
        if (!running_)
            return;
        const Nanoseconds now = monotonicNow();
        if (!grabber_->isConnected())
            return fail(QStringLiteral("The connection to the display was lost"));
        if (now - lastCheck_ >= std::chrono::seconds(1)) {
            lastCheck_ = now;
            // Only there to notice a monitor that went away (RandR asked on our connection).
            const QList<QRect> monitors = grabber_->monitors();
            if (std::none_of(monitors.begin(), monitors.end(), [this](const QRect& monitor) {
                    return monitor.contains(area_.center());
                }))
                return fail(QStringLiteral("The screen being recorded is gone"));
        }
        {
            // A full queue: this moment is skipped, not grabbed (its segment may still be read).
            std::lock_guard lock(queueMutex_);
            if (queue_.size() >= queueLimit)
                return clock_->next();
        }
        QImage picture = grabber_->grab(area_);
        if (picture.isNull())
            return fail(grabber_->isConnected()
                            ? QStringLiteral("The screen being recorded is gone")
                            : QStringLiteral("The connection to the display was lost"));
        grabber_->drawCursor(picture, area_);
        bool wasEmpty = false;
        {
            std::lock_guard lock(queueMutex_);
            wasEmpty = queue_.empty();
            queue_.emplace_back(std::move(picture), now);
        }
        if (wasEmpty)
            QMetaObject::invokeMethod(home_.get(), [this] { deliver(); });
        clock_->next();
    }

    // On the starting thread.
    void deliver() {
        for (;;) {
            std::pair<QImage, Nanoseconds> next;
            {
                std::lock_guard lock(queueMutex_);
                if (queue_.empty())
                    return;
                next = std::move(queue_.front());
                queue_.pop_front();
            }
            if (!running_ || !handlers_.frame)
                continue;
            handlers_.frame(next.first, next.second);
        }
    }

    // On the grab thread; reported on the starting thread.
    void fail(const QString& reason) {
        running_ = false;
        clock_->stop();
        QMetaObject::invokeMethod(home_.get(), [this, reason] {
            if (handlers_.stopped)
                handlers_.stopped(reason);
        });
    }

    std::unique_ptr<ShmGrabber> grabber_;
    QRect area_;
    Handlers handlers_;
    std::unique_ptr<QObject> home_;
    QThread thread_;
    QObject clockHome_; // lives on the grab thread
    std::unique_ptr<FrameClock> clock_;
    std::atomic<bool> running_ = false;
    Nanoseconds lastCheck_{};
    std::mutex queueMutex_;
    std::deque<std::pair<QImage, Nanoseconds>> queue_;
};

} // namespace

std::unique_ptr<FrameSource> makeFrameSource() {
    return std::make_unique<X11FrameSource>();
}

} // namespace shotlark::platform::x11
