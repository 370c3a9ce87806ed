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
    for (QScreen* screen : QGuiApplication::screens()) {
        const qreal ratio = screen->devicePixelRatio();
        const QRect logical = screen->geometry();
        const QRect device(
            QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)),
            QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)));
        QImage image = shm && shm->present ? shmGrab(connection, root, device) : QImage();
        if (image.isNull())
            image = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        frozen.append(image);
    }
    return frozen;
}

} // namespace shotlark::tool
