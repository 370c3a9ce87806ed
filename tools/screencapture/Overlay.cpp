#include "Overlay.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

#include <xcb/xcb.h>

namespace shotlark::tool {

namespace {

constexpr int minimumDrag = 3; // a click, not a drag

// The rectangle between where a drag started and where the pointer is: from 100 to 400 is
// 300 pixels wide.
QRect dragRect(QPoint a, QPoint b) {
    return QRect(QPoint(qMin(a.x(), b.x()), qMin(a.y(), b.y())),
                 QSize(qAbs(b.x() - a.x()), qAbs(b.y() - a.y())));
}

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

} // namespace

Overlay::Overlay(Picker& picker, int screenIndex, const QImage& frozen)
    : picker_(picker), screen_(screenIndex), frozen_(frozen) {
    // Without a compositor, translucency comes out black: paint the frozen picture instead.
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::X11BypassWindowManagerHint | Qt::Tool);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setCursor(picker.pickingWindows() ? Qt::PointingHandCursor : Qt::CrossCursor);
    setWindowTitle(QStringLiteral("shotlark-screencapture"));
    dimmed_ = frozen_.copy();
    QPainter painter(&dimmed_);
    painter.fillRect(dimmed_.rect(), QColor(0, 0, 0, 110));
    QScreen* screen = QGuiApplication::screens().at(screenIndex);
    setGeometry(screen->geometry());
}

void Overlay::setHighlight(const QRect& logical) {
    if (logical == highlight_)
        return;
    highlight_ = logical;
    update();
}

void Overlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(rect(), dimmed_);
    if (highlight_.isEmpty())
        return;
    const qreal ratio = static_cast<qreal>(frozen_.width()) / width();
    const QRect source(QPointF(highlight_.topLeft()).toPoint() * ratio, highlight_.size() * ratio);
    painter.drawImage(highlight_, frozen_, source);
    painter.setPen(QPen(QColor(0x1e, 0x88, 0xe5), 2));
    painter.drawRect(highlight_.adjusted(0, 0, -1, -1));
    if (!picker_.pickingWindows()) {
        // The size in the picture's own pixels.
        const QString size =
            QStringLiteral("%1 \u00d7 %2").arg(source.width()).arg(source.height());
        QFont font = painter.font();
        font.setPointSizeF(font.pointSizeF() * 0.95);
        painter.setFont(font);
        const QRect label = painter.fontMetrics().boundingRect(size).adjusted(-6, -3, 6, 3);
        QRect box(highlight_.bottomRight() - QPoint(label.width(), -6), label.size());
        if (box.bottom() > height())
            box.moveBottom(highlight_.bottom() - 6);
        painter.fillRect(box, QColor(0, 0, 0, 200));
        painter.setPen(Qt::white);
        painter.drawText(box, Qt::AlignCenter, size);
    }
}

void Overlay::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        picker_.cancel();
        return;
    }
    pressAt_ = event->position().toPoint();
    dragging_ = !picker_.pickingWindows();
}

void Overlay::mouseMoveEvent(QMouseEvent* event) {
    if (picker_.pickingWindows()) {
        picker_.hover(event->globalPosition().toPoint());
    } else if (dragging_) {
        picker_.dragged(screen_,
                        dragRect(pressAt_, event->position().toPoint()).intersected(rect()));
    }
}

void Overlay::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    dragging_ = false;
    picker_.released(screen_, dragRect(pressAt_, event->position().toPoint()).intersected(rect()),
                     event->globalPosition().toPoint());
}

void Overlay::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        picker_.cancel();
}

Picker::Picker(const QList<QImage>& frozen, bool windows)
    : frozen_(frozen), windows_(windows), spaces_(ScreenSpace::all()) {
    if (windows_)
        windowRects_ = topLevelWindows(); // before our overlays exist
    for (int i = 0; i < frozen_.size(); ++i)
        overlays_.push_back(std::make_unique<Overlay>(*this, i, frozen_[i]));
}

Picker::~Picker() = default;

void Picker::show() {
    for (auto& overlay : overlays_)
        overlay->show();
    overlays_.front()->activateWindow();
    // No window manager hands out focus to a bypassing window: take the keyboard for Escape.
    overlays_.front()->grabKeyboard();
    if (windows_)
        hover(QCursor::pos());
}

const ScreenSpace* Picker::spaceAt(const QPoint& global) const {
    for (const ScreenSpace& space : spaces_) {
        if (space.logical.contains(global))
            return &space;
    }
    return nullptr;
}

QRect Picker::windowAt(const QPoint& global) const {
    const ScreenSpace* space = spaceAt(global);
    if (!space)
        return QRect();
    const QPoint native = space->toNative(global);
    for (qsizetype i = windowRects_.size() - 1; i >= 0; --i) {
        if (windowRects_[i].contains(native))
            return windowRects_[i];
    }
    return QRect();
}

void Picker::hover(const QPoint& global) {
    hovered_ = windowAt(global);
    for (size_t i = 0; i < overlays_.size(); ++i)
        overlays_[i]->setHighlight(spaces_[static_cast<qsizetype>(i)].toOverlay(hovered_));
}

void Picker::dragged(int screen, const QRect& logical) {
    for (size_t i = 0; i < overlays_.size(); ++i)
        overlays_[i]->setHighlight(static_cast<int>(i) == screen ? logical : QRect());
}

void Picker::released(int screen, const QRect& logical, const QPoint& global) {
    if (windows_) {
        const QRect window = windowAt(global);
        const ScreenSpace* space = spaceAt(global);
        if (window.isEmpty() || !space) {
            cancel();
            return;
        }
        // The window's pixels on the screen it was clicked on, straight from the frozen picture.
        const qsizetype index = space - spaces_.constData();
        const QRect pixels = window.intersected(space->native).translated(-space->native.topLeft());
        Q_EMIT finished(frozen_[index].copy(pixels.intersected(frozen_[index].rect())));
        return;
    }
    if (logical.width() < minimumDrag || logical.height() < minimumDrag) {
        cancel(); // a click without a drag
        return;
    }
    Q_EMIT finished(crop(screen, logical));
}

void Picker::cancel() {
    Q_EMIT finished(QImage());
}

QImage Picker::crop(int screen, const QRect& logical) const {
    const QImage& image = frozen_[screen];
    const qreal ratio = static_cast<qreal>(image.width()) / overlays_[screen]->width();
    const QRect pixels(QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)),
                       QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)));
    return image.copy(pixels.intersected(image.rect()));
}

} // namespace shotlark::tool
