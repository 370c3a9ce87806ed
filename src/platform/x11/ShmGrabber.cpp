#include "platform/x11/ShmGrabber.h"

#include "overlay/SelectionOverlay.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <vector>

namespace shotlark::platform::x11 {

struct ShmGrabber::Impl {
    xcb_connection_t* connection = nullptr;
    bool ownsConnection = false;
    xcb_window_t root = 0;
    bool hasShm = false;
    bool hasXFixes = false;
    // Grabs go to these in turn: a picture stays valid until as many more grabs were made.
    struct Segment {
        void* memory = nullptr;
        size_t capacity = 0;
        xcb_shm_seg_t id = 0;
    };
    std::vector<Segment> segments{1};
    size_t next = 0;

    ~Impl() {
        for (Segment& segment : segments)
            release(segment);
        if (ownsConnection && connection)
            xcb_disconnect(connection);
    }

    void release(Segment& segment) {
        if (!segment.memory)
            return;
        xcb_shm_detach(connection, segment.id);
        xcb_flush(connection);
        shmdt(segment.memory);
        segment.memory = nullptr;
        segment.capacity = 0;
    }

    bool reserve(Segment& segment, size_t bytes) {
        if (segment.memory && segment.capacity >= bytes)
            return true;
        release(segment);
        const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (shmId < 0)
            return false;
        segment.memory = shmat(shmId, nullptr, 0);
        shmctl(shmId, IPC_RMID, nullptr); // freed once both sides have detached
        if (segment.memory == reinterpret_cast<void*>(-1)) {
            segment.memory = nullptr;
            return false;
        }
        segment.id = xcb_generate_id(connection);
        // Not read-only: the server writes the picture into the segment.
        xcb_generic_error_t* error =
            xcb_request_check(connection, xcb_shm_attach_checked(connection, segment.id,
                                                                 static_cast<uint32_t>(shmId), 0));
        if (error) {
            free(error);
            shmdt(segment.memory);
            segment.memory = nullptr;
            return false;
        }
        segment.capacity = bytes;
        return true;
    }
};

ShmGrabber::ShmGrabber(const char* display, bool ownConnection, int buffers)
    : impl_(std::make_unique<Impl>()) {
    impl_->segments.resize(static_cast<size_t>(std::max(1, buffers)));
    if (ownConnection) {
        impl_->connection = xcb_connect(display, nullptr);
        impl_->ownsConnection = true;
        if (xcb_connection_has_error(impl_->connection))
            return;
    } else if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        impl_->connection = x11->connection();
    }
    if (!impl_->connection)
        return;
    impl_->root = xcb_setup_roots_iterator(xcb_get_setup(impl_->connection)).data->root;
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(impl_->connection, &xcb_shm_id);
    impl_->hasShm = shm && shm->present;
    const xcb_query_extension_reply_t* fixes =
        xcb_get_extension_data(impl_->connection, &xcb_xfixes_id);
    if (fixes && fixes->present) {
        // XFixes answers nothing before its version has been asked for.
        free(xcb_xfixes_query_version_reply(
            impl_->connection, xcb_xfixes_query_version(impl_->connection, 4, 0), nullptr));
        impl_->hasXFixes = true;
    }
}

ShmGrabber::~ShmGrabber() = default;

bool ShmGrabber::isValid() const {
    return impl_->connection && !xcb_connection_has_error(impl_->connection) && impl_->hasShm;
}

bool ShmGrabber::isConnected() const {
    return impl_->connection && !xcb_connection_has_error(impl_->connection);
}

QImage ShmGrabber::grab(const QRect& rect) {
    if (!isValid() || rect.isEmpty())
        return QImage();
    const size_t bytes = static_cast<size_t>(rect.width()) * static_cast<size_t>(rect.height()) * 4;
    Impl::Segment& segment = impl_->segments[impl_->next++ % impl_->segments.size()];
    if (!impl_->reserve(segment, bytes))
        return QImage();
    xcb_generic_error_t* error = nullptr;
    xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
        impl_->connection,
        xcb_shm_get_image(impl_->connection, impl_->root, static_cast<int16_t>(rect.x()),
                          static_cast<int16_t>(rect.y()), static_cast<uint16_t>(rect.width()),
                          static_cast<uint16_t>(rect.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          segment.id, 0),
        &error);
    const bool ok = reply && !error && (reply->depth == 24 || reply->depth == 32);
    free(reply);
    free(error);
    if (!ok)
        return QImage();
    // 24-bit depth comes as 32-bit little-endian BGRx: Qt's RGB32 exactly, used in place.
    return QImage(static_cast<uchar*>(segment.memory), rect.width(), rect.height(),
                  QImage::Format_RGB32);
}

void ShmGrabber::drawCursor(QImage& image, const QRect& rect) {
    if (!impl_->hasXFixes || !isConnected())
        return;
    xcb_xfixes_get_cursor_image_reply_t* cursor = xcb_xfixes_get_cursor_image_reply(
        impl_->connection, xcb_xfixes_get_cursor_image(impl_->connection), nullptr);
    if (!cursor)
        return;
    const int width = cursor->width;
    const int height = cursor->height;
    const QPoint at(cursor->x - cursor->xhot - rect.x(), cursor->y - cursor->yhot - rect.y());
    if (width > 0 && height > 0 && QRect(at, QSize(width, height)).intersects(image.rect())) {
        // Premultiplied ARGB, one 32-bit word a pixel.
        const QImage picture(
            reinterpret_cast<const uchar*>(xcb_xfixes_get_cursor_image_cursor_image(cursor)), width,
            height, width * 4, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        painter.drawImage(at, picture);
    }
    free(cursor);
}

QList<QRect> ShmGrabber::monitors() const {
    QList<QRect> found;
    if (!isConnected())
        return found;
    xcb_connection_t* connection = impl_->connection;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
    xcb_randr_query_version_reply_t* version =
        randr && randr->present
            ? xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5),
                                            nullptr)
            : nullptr;
    const bool hasMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
    free(version);
    if (hasMonitors) {
        if (xcb_randr_get_monitors_reply_t* reply = xcb_randr_get_monitors_reply(
                connection, xcb_randr_get_monitors(connection, impl_->root, 1), nullptr)) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem;
                 xcb_randr_monitor_info_next(&it)) {
                const QRect rect(it.data->x, it.data->y, it.data->width, it.data->height);
                if (it.data->primary)
                    found.prepend(rect);
                else
                    found.append(rect);
            }
            free(reply);
        }
    }
    if (found.isEmpty()) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        found.append(QRect(0, 0, screen->width_in_pixels, screen->height_in_pixels));
    }
    return found;
}

QList<QImage> freezeScreensWithoutQt() {
    QList<QImage> frozen;
    ShmGrabber grabber(nullptr, true);
    if (!grabber.isValid())
        return frozen;
    for (const QRect& monitor : grabber.monitors()) {
        const QImage image = grabber.grab(monitor).copy(); // the segment is reused
        if (image.isNull())
            return {};
        frozen.append(image);
    }
    return frozen;
}

QList<QImage> freezeScreens() {
    QList<QImage> frozen;
    ShmGrabber grabber;
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QList<overlay::ScreenSpace> spaces = overlay::ScreenSpace::all();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        QImage image = grabber.grab(spaces[i].native).copy(); // the segment is reused
        if (image.isNull())
            image = screens[i]->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        frozen.append(image);
    }
    return frozen;
}

} // namespace shotlark::platform::x11
