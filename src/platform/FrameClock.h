#pragma once

#include "platform/Recording.h"

#include <QTimer>

#include <algorithm>
#include <functional>

namespace shotlark::platform {

// The steady rate a frame source delivers at, on the thread that started it (its event loop
// must run). After each tick, next() schedules the following one: one interval after the last
// was due; a little late, it comes at once; a whole interval late, the ticks missed are skipped,
// never queued.
class FrameClock {
public:
    void start(int fps, std::function<void()> tick) {
        interval_ = Nanoseconds(1'000'000'000LL / std::max(1, fps));
        next_ = monotonicNow();
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, std::move(tick));
        timer_.start(0);
    }

    void next() {
        next_ += interval_;
        const Nanoseconds now = monotonicNow();
        if (next_ + interval_ <= now)
            next_ = now;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(Nanoseconds(0), next_ - now + std::chrono::microseconds(500)));
        timer_.start(static_cast<int>(wait.count()));
    }

    void stop() { timer_.stop(); }

    // Lives on the clock's thread: calls queued to it run there.
    QObject* context() { return &timer_; }

private:
    QTimer timer_;
    Nanoseconds interval_{};
    Nanoseconds next_{};
};

} // namespace shotlark::platform
