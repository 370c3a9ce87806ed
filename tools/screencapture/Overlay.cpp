#include "Overlay.h"

#include <QCursor>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QtEndian>

#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <xcb/xcb.h>

namespace shotlark::tool {

namespace {

// The viewable top-level windows of the X server, bottom to top, in root coordinates.
QList<QRect> topLevelWindows() {
    QList<QRect> rects;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return rects;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
    if (!tree)
        return rects;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    const int count = xcb_query_tree_children_length(tree);
    for (int i = 0; i < count; ++i) {
        xcb_get_window_attributes_reply_t* attributes = xcb_get_window_attributes_reply(
            connection, xcb_get_window_attributes(connection, children[i]), nullptr);
        const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                              attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
        free(attributes);
        if (!viewable)
            continue;
        xcb_get_geometry_reply_t* geometry =
            xcb_get_geometry_reply(connection, xcb_get_geometry(connection, children[i]), nullptr);
        if (geometry) {
            const int border = geometry->border_width;
            rects.append(QRect(geometry->x, geometry->y, geometry->width + 2 * border,
                               geometry->height + 2 * border));
            free(geometry);
        }
    }
    free(tree);
    return rects;
}

// Sway's windows, from its IPC socket (GET_TREE): Wayland itself tells a client nothing of other
// windows. Leaf views that are visible, tiled ones below floating ones, in layout coordinates.
QList<QRect> swayWindows() {
    const QByteArray socketPath = qgetenv("SWAYSOCK");
    if (socketPath.isEmpty())
        return {};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path - 1);
    // "i3-ipc", the payload's length, the message type (4: GET_TREE), no payload.
    QByteArray message("i3-ipc");
    const quint32 header[2] = {0, 4};
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, message.constData(), size_t(message.size())) == message.size()) {
        char buffer[65536];
        qsizetype wanted = 14;
        for (ssize_t got; reply.size() < wanted && (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            reply.append(buffer, got);
            if (reply.size() >= 14)
                wanted = 14 + qFromLittleEndian<quint32>(reply.constData() + 6);
        }
    }
    ::close(fd);
    if (reply.size() < 14)
        return {};
    const QJsonObject tree = QJsonDocument::fromJson(reply.mid(14)).object();
    QList<QRect> tiled, floating;
    std::function<void(const QJsonObject&, bool)> walk = [&](const QJsonObject& node,
                                                             bool isFloating) {
        const QJsonArray children = node.value(QStringLiteral("nodes")).toArray();
        const QJsonArray floaters = node.value(QStringLiteral("floating_nodes")).toArray();
        if (children.isEmpty() && floaters.isEmpty() &&
            node.value(QStringLiteral("visible")).toBool() &&
            node.contains(QStringLiteral("pid"))) {
            const QJsonObject r = node.value(QStringLiteral("rect")).toObject();
            (isFloating ? floating : tiled)
                .append(QRect(r.value(QStringLiteral("x")).toInt(),
                              r.value(QStringLiteral("y")).toInt(),
                              r.value(QStringLiteral("width")).toInt(),
                              r.value(QStringLiteral("height")).toInt()));
        }
        for (const QJsonValue child : children)
            walk(child.toObject(), isFloating);
        for (const QJsonValue child : floaters)
            walk(child.toObject(), true);
    };
    walk(tree, false);
    return tiled + floating;
}

// Layout rectangles in the device pixels the picker compares with.
QList<QRect> toNative(const QList<QRect>& logical, const QList<overlay::ScreenSpace>& spaces) {
    QList<QRect> rects;
    for (const QRect& rect : logical) {
        for (const overlay::ScreenSpace& space : spaces) {
            if (space.logical.contains(rect.center())) {
                rects.append(QRect(space.toNative(rect.topLeft()),
                                   QSize(qRound(rect.width() * space.ratio),
                                         qRound(rect.height() * space.ratio))));
                break;
            }
        }
    }
    return rects;
}

} // namespace

Picker::Picker(const QList<QImage>& frozen, bool windows)
    : frozen_(frozen), windows_(windows), spaces_(overlay::ScreenSpace::all()) {
    // Before our overlays exist, which would hide every other window.
    if (windows_ && QGuiApplication::platformName() == QStringLiteral("xcb"))
        windowRects_ = topLevelWindows();
    else if (windows_)
        windowRects_ = toNative(swayWindows(), spaces_);
    // Where other windows can't be known, the user drags over the window instead.
    if (windows_ && windowRects_.isEmpty() &&
        QGuiApplication::platformName() != QStringLiteral("xcb"))
        windows_ = false;
    // A region: a drag of 3 pixels or more; a click cancels. A window: clicks are points.
    overlay::OverlayStyle style;
    style.picksPoints = windows_;
    style.title = QStringLiteral("shotlark-screencapture");
    style.hint = windows_ ? QStringLiteral("Click a window \u00b7 Esc to cancel")
                          : QStringLiteral("Drag to capture an area \u00b7 Esc to cancel");
    session_ = std::make_unique<overlay::SelectionSession>(
        frozen_, overlay::SelectionRules{3, false}, style);
    connect(session_.get(), &overlay::SelectionSession::finished, this,
            [this](int screen, const overlay::Outcome& outcome) {
                if (outcome.kind == overlay::Outcome::Kind::Area)
                    Q_EMIT finished(screen, toPixels(screen, outcome.rect));
                else
                    cancel();
            });
    for (const auto& shown : session_->overlays()) {
        connect(shown.get(), &overlay::SelectionOverlay::pointerMoved, this, &Picker::hover);
        connect(shown.get(), &overlay::SelectionOverlay::pointClicked, this, &Picker::released);
    }
}

Picker::~Picker() = default;

void Picker::show() {
    session_->show();
    if (windows_)
        hover(QCursor::pos());
}

const overlay::ScreenSpace* Picker::spaceAt(const QPoint& global) const {
    for (const overlay::ScreenSpace& space : spaces_) {
        if (space.logical.contains(global))
            return &space;
    }
    return nullptr;
}

QRect Picker::windowAt(const QPoint& global) const {
    const overlay::ScreenSpace* space = spaceAt(global);
    if (!space)
        return QRect();
    const QPoint native = space->toNative(global);
    for (qsizetype i = windowRects_.size() - 1; i >= 0; --i) {
        if (windowRects_[i].contains(native))
            return windowRects_[i];
    }
    return QRect();
}

void Picker::hover(QPoint global) {
    hovered_ = windowAt(global);
    const auto& overlays = session_->overlays();
    for (size_t i = 0; i < overlays.size(); ++i)
        overlays[i]->setHighlight(spaces_[static_cast<qsizetype>(i)].toOverlay(hovered_));
}

void Picker::released(QPoint global) {
    const QRect window = windowAt(global);
    const overlay::ScreenSpace* space = spaceAt(global);
    if (window.isEmpty() || !space) {
        cancel();
        return;
    }
    // The window's pixels on the screen it was clicked on, straight from the frozen picture.
    const qsizetype index = space - spaces_.constData();
    const QRect pixels = window.intersected(space->native)
                             .translated(-space->native.topLeft())
                             .intersected(frozen_[index].rect());
    Q_EMIT finished(static_cast<int>(index), pixels);
}

void Picker::cancel() {
    Q_EMIT finished(-1, QRect());
}

QRect Picker::toPixels(int screen, const QRect& logical) const {
    const QImage& image = frozen_[screen];
    const qreal ratio = static_cast<qreal>(image.width()) / spaces_[screen].logical.width();
    const QRect pixels(QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)),
                       QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)));
    return pixels.intersected(image.rect());
}

} // namespace shotlark::tool
