#include "platform/x11/X11FrameSource.h"

#include "base/Errors.h"
#include "platform/FrameClock.h"
#include "platform/x11/ShmGrabber.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace shotlark::platform::x11 {

namespace {

// Whether the middle of `area` lies on one of the X server's monitors; true when RandR can't
// tell (the check is only there to notice a monitor that went away).
bool onAMonitor(const QRect& area) {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    bool found = true;
    if (!xcb_connection_has_error(connection)) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        xcb_randr_get_monitors_reply_t* monitors = xcb_randr_get_monitors_reply(
            connection, xcb_randr_get_monitors(connection, root, 1), nullptr);
        if (monitors && monitors->nMonitors > 0) {
            found = false;
            const QPoint middle = area.center();
            for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors); it.rem;
                 xcb_randr_monitor_info_next(&it)) {
                const QRect monitor(it.data->x, it.data->y, it.data->width, it.data->height);
                found |= monitor.contains(middle);
            }
        }
        free(monitors);
    }
    xcb_disconnect(connection);
    return found;
}

class X11FrameSource : public FrameSource {
public:
    void start(const QRect& area, int fps, Handlers handlers) override {
        grabber_ = std::make_unique<ShmGrabber>(nullptr, true);
        if (!grabber_->isValid())
            throw Error(QStringLiteral("Couldn't read the screen (no X display with MIT-SHM)"));
        if (grabber_->grab(area).isNull())
            throw Error(QStringLiteral("Couldn't find that display"));
        area_ = area;
        handlers_ = std::move(handlers);
        lastCheck_ = monotonicNow();
        running_ = true;
        clock_.start(fps, [this] { tick(); });
    }

    void stop() override {
        running_ = false; // the handlers may be running right now: they are kept, not called
        clock_.stop();
    }

private:
    void tick() {
        if (!running_)
            return;
        const Nanoseconds now = monotonicNow();
        if (!grabber_->isConnected())
            return fail(QStringLiteral("The connection to the display was lost"));
        if (now - lastCheck_ >= std::chrono::seconds(1)) {
            lastCheck_ = now;
            if (!onAMonitor(area_))
                return fail(QStringLiteral("The screen being recorded is gone"));
        }
        QImage picture = grabber_->grab(area_);
        if (picture.isNull())
            return fail(grabber_->isConnected()
                            ? QStringLiteral("The screen being recorded is gone")
                            : QStringLiteral("The connection to the display was lost"));
        grabber_->drawCursor(picture, area_);
        if (handlers_.frame)
            handlers_.frame(picture, now);
        if (running_) // not stopped from within the handler
            clock_.next();
    }

    void fail(const QString& reason) {
        running_ = false;
        clock_.stop();
        if (handlers_.stopped)
            handlers_.stopped(reason);
    }

    std::unique_ptr<ShmGrabber> grabber_;
    QRect area_;
    Handlers handlers_;
    FrameClock clock_;
    bool running_ = false;
    Nanoseconds lastCheck_{};
};

} // namespace

std::unique_ptr<FrameSource> makeFrameSource() {
    return std::make_unique<X11FrameSource>();
}

} // namespace shotlark::platform::x11
