#include "overlay/SelectionOverlay.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWindow>

namespace shotlark::overlay {

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

SelectionOverlay::SelectionOverlay(const QImage& frozen, QScreen* screen, SelectionRules rules,
                                   OverlayStyle style)
    : frozen_(frozen), model_(rules, screen->geometry().size()), style_(std::move(style)) {
    // Without a compositor, translucency comes out black: paint the frozen picture instead.
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::X11BypassWindowManagerHint | Qt::Tool);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setCursor(style_.picksPoints ? Qt::PointingHandCursor : Qt::CrossCursor);
    setWindowTitle(style_.title);
    dimmed_ = frozen_.copy();
    QPainter painter(&dimmed_);
    painter.fillRect(dimmed_.rect(), QColor(0, 0, 0, 89)); // black at 35 %
    setGeometry(screen->geometry());
}

void SelectionOverlay::setHighlight(const QRect& area) {
    if (area == highlight_)
        return;
    highlight_ = area;
    update();
}

void SelectionOverlay::drawLabel(QPainter& painter, const QString& text, QPoint center) const {
    QFont font = painter.font();
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    painter.setFont(font);
    const QSize size = painter.fontMetrics().size(Qt::TextSingleLine, text) + QSize(20, 10);
    QRect box(QPoint(0, 0), size);
    box.moveCenter(center);
    QPainterPath path;
    path.addRoundedRect(box, 7, 7);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(path, QColor(0, 0, 0, 179)); // black at 70 %
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
}

void SelectionOverlay::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(rect(), dimmed_);
    const std::optional<QRect> dragged = model_.dragged();
    const QRect hole = dragged ? *dragged : highlight_;
    if (hole.isEmpty()) {
        if (!style_.hint.isEmpty())
            drawLabel(painter, style_.hint, rect().center());
        return;
    }
    // The hole shows the picture itself; the outline lies just outside it.
    const qreal ratio = static_cast<qreal>(frozen_.width()) / width();
    const QRectF source(QPointF(hole.topLeft()) * ratio, QSizeF(hole.size()) * ratio);
    painter.drawImage(QRectF(hole), frozen_, source);
    painter.setPen(QPen(Qt::white, 1));
    painter.drawRect(hole.adjusted(-1, -1, 0, 0));
    if (dragged && style_.showsSize)
        drawLabel(painter, SelectionModel::sizeLabel(hole.size(), ratio),
                  SelectionModel::labelCenter(hole, height()));
}

void SelectionOverlay::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        Q_EMIT finished(Outcome{});
        return;
    }
    activateWindow();
    if (!style_.picksPoints)
        model_.press(event->position().toPoint());
    update();
}

void SelectionOverlay::mouseMoveEvent(QMouseEvent* event) {
    if (style_.picksPoints) {
        Q_EMIT pointerMoved(event->globalPosition().toPoint());
        return;
    }
    if (model_.isDragging()) {
        model_.move(event->position().toPoint());
        update();
    }
}

void SelectionOverlay::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (style_.picksPoints) {
        Q_EMIT pointClicked(event->globalPosition().toPoint());
        return;
    }
    if (const auto outcome = model_.release(event->position().toPoint()))
        Q_EMIT finished(*outcome);
    update();
}

void SelectionOverlay::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        Q_EMIT finished(Outcome{});
    else
        QWidget::keyPressEvent(event);
}

SelectionSession::SelectionSession(const QList<QImage>& frozen, SelectionRules rules,
                                   OverlayStyle style) {
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (qsizetype i = 0; i < frozen.size() && i < screens.size(); ++i) {
        auto overlay = std::make_unique<SelectionOverlay>(frozen[i], screens[i], rules, style);
        connect(overlay.get(), &SelectionOverlay::finished, this,
                [this, index = static_cast<int>(i)](const Outcome& outcome) {
                    if (std::exchange(done_, true))
                        return;
                    for (auto& shown : overlays_) {
                        shown->releaseKeyboard();
                        shown->hide();
                    }
                    Q_EMIT finished(index, outcome);
                });
        overlays_.push_back(std::move(overlay));
    }
}

SelectionSession::~SelectionSession() = default;

void SelectionSession::show() {
    if (overlays_.empty())
        return;
    SelectionOverlay* underPointer = overlays_.front().get();
    // A Wayland client can't place its windows: each overlay asks to fill its own output.
    const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (size_t i = 0; i < overlays_.size(); ++i) {
        SelectionOverlay* overlay = overlays_[i].get();
        if (wayland) {
            overlay->winId();
            overlay->windowHandle()->setScreen(screens.value(qsizetype(i)));
            overlay->showFullScreen();
        } else {
            overlay->show();
        }
        if (overlay->geometry().contains(QCursor::pos()))
            underPointer = overlay;
    }
    underPointer->activateWindow();
    // No window manager hands focus to a bypassing window: take the keyboard for Escape.
    underPointer->grabKeyboard();
}

} // namespace shotlark::overlay
