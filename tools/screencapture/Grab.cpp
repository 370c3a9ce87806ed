#include "Grab.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

namespace shotlark::tool {

namespace {

// One rectangle of the root window through a shared-memory segment; null on any failure.
QImage shmGrab(xcb_connection_t* connection, xcb_window_t root, const QRect& rect) {
    const size_t bytes = static_cast<size_t>(rect.width()) * static_cast<size_t>(rect.height()) * 4;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return QImage();
    void* memory = shmat(id, nullptr, 0);
    shmctl(id, IPC_RMID, nullptr); // freed once both sides have detached
    if (memory == reinterpret_cast<void*>(-1))
        return QImage();
    QImage image;
    const xcb_shm_seg_t segment = xcb_generate_id(connection);
    // Not read-only: the server writes the picture into the segment.
    xcb_generic_error_t* error =
        xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, id, 0));
    if (!error) {
        xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
            connection,
            xcb_shm_get_image(connection, root, static_cast<int16_t>(rect.x()),
                              static_cast<int16_t>(rect.y()), static_cast<uint16_t>(rect.width()),
                              static_cast<uint16_t>(rect.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              segment, 0),
            &error);
        if (reply && reply->depth == 24) {
            // 24-bit depth comes as 32-bit little-endian BGRx: Qt's RGB32 exactly, used in place
            // (the segment is unmapped with the image).
            image = QImage(
                static_cast<uchar*>(memory), rect.width(), rect.height(), QImage::Format_RGB32,
                [](void* mapped) { shmdt(mapped); }, memory);
        }
        free(reply);
        xcb_shm_detach(connection, segment);
    }
    free(error);
    if (image.isNull())
        shmdt(memory);
    return image;
}

} // namespace

QList<QImage> freezeScreens() {
    QList<QImage> frozen;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    const xcb_query_extension_reply_t* shm =
        connection ? xcb_get_extension_data(connection, &xcb_shm_id) : nullptr;
    const xcb_window_t root =
        connection ? xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root : 0;
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QList<ScreenSpace> spaces = ScreenSpace::all();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        QImage image = shm && shm->present ? shmGrab(connection, root, spaces[i].native) : QImage();
        if (image.isNull())
            image = screens[i]->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        frozen.append(image);
    }
    return frozen;
}

QList<ScreenSpace> ScreenSpace::all() {
    QList<ScreenSpace> spaces;
    for (QScreen* screen : QGuiApplication::screens()) {
        ScreenSpace space;
        space.logical = screen->geometry();
        space.ratio = screen->devicePixelRatio();
        space.native =
            QRect(space.logical.topLeft(), QSize(qRound(space.logical.width() * space.ratio),
                                                 qRound(space.logical.height() * space.ratio)));
        spaces.append(space);
    }
    return spaces;
}

QPoint ScreenSpace::toNative(QPoint logicalGlobal) const {
    const QPointF offset = QPointF(logicalGlobal - logical.topLeft()) * ratio;
    return native.topLeft() + offset.toPoint();
}

QRect ScreenSpace::toOverlay(const QRect& nativeGlobal) const {
    const QRect on = nativeGlobal.intersected(native).translated(-native.topLeft());
    if (on.isEmpty())
        return QRect();
    const QPointF topLeft = QPointF(on.topLeft()) / ratio;
    const QPointF bottomRight = QPointF(on.topLeft() + QPoint(on.width(), on.height())) / ratio;
    return QRectF(topLeft, bottomRight).toAlignedRect();
}

} // namespace shotlark::tool
