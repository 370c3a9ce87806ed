// The editor on screen: the frozen screen with the chosen area, and marks drawn, picked and
// moved with the pointer and keys.
#include "Editor.h"
#include "EditorTools.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <iterator>

namespace shotlark::tool {

using namespace tools;
using overlay::Mark;

namespace {

constexpr int edgeReach = 6; // how near an edge of the area a press takes the edge
enum Edge { left = 1, right = 2, top = 4, bottom = 8, whole = 16 }; // whole: the area moves

// Drags shorter than this are slips, not shapes.
bool isShape(const Mark& mark) {
    if (mark.tool == MarkTool::pen || mark.tool == MarkTool::highlighter)
        return true;
    return QLineF(mark.points.front(), mark.points.back()).length() >= 3;
}

} // namespace

Editor::Editor(const QImage& screen, QScreen* where, const QRect& area) : where_(where) {
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::X11BypassWindowManagerHint | Qt::Tool);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setWindowTitle(QStringLiteral("Shotlark editor"));
    setCursor(Qt::CrossCursor);
    setMouseTracking(false);
    setGeometry(where->geometry());
    ratio_ = static_cast<qreal>(screen.width()) / where->geometry().width();
    screen_ = screen.convertToFormat(QImage::Format_RGB32);
    dimmed_ = screen_.copy();
    {
        QPainter painter(&dimmed_);
        painter.fillRect(dimmed_.rect(), QColor(0, 0, 0, 89)); // as the chooser dims it
    }
    dimmed_.setDevicePixelRatio(ratio_);
    setArea(area.intersected(screen_.rect()));
    loadStyles();
    buildToolbar();
    commitMarks();
}

Editor::~Editor() = default;

void Editor::start() {
    if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
        winId();
        windowHandle()->setScreen(where_);
        showFullScreen();
    } else {
        show();
    }
    placeToolbar();
    activateWindow();
    grabKeyboard(); // no window manager gives a bypassing window the keyboard
}

int Editor::edgesNear(QPoint at) const {
    const QRect reach = shown_.adjusted(-edgeReach, -edgeReach, edgeReach, edgeReach);
    if (!reach.contains(at))
        return 0;
    int edges = 0;
    edges |= std::abs(at.x() - shown_.left()) <= edgeReach ? left : 0;
    edges |= std::abs(at.x() - shown_.right()) <= edgeReach ? right : 0;
    edges |= std::abs(at.y() - shown_.top()) <= edgeReach ? top : 0;
    edges |= std::abs(at.y() - shown_.bottom()) <= edgeReach ? bottom : 0;
    return edges;
}

void Editor::setArea(const QRect& area) {
    area_ = area;
    picture_ = screen_.copy(area_);
    shown_ = QRectF(origin(), QSizeF(area_.size()) / ratio_).toAlignedRect();
}

QPointF Editor::origin() const {
    return QPointF(area_.topLeft()) / ratio_;
}

void Editor::applyArea(const QRect& area) {
    // The marks stay where they are on the screen: their picture's origin moved under them.
    markup_.shiftAll(QPointF(area_.topLeft() - area.topLeft()));
    setArea(area);
    selected_ = -1;
    placeToolbar();
    commitMarks();
    update();
}

QPointF Editor::toPicture(QPointF widgetPoint) const {
    return (widgetPoint - origin()) * ratio_;
}

QRect Editor::toWidget(const QRect& pictureRect) const {
    return QRectF(origin() + QPointF(pictureRect.topLeft()) / ratio_,
                  QSizeF(pictureRect.size()) / ratio_)
        .toAlignedRect()
        .adjusted(-1, -1, 1, 1);
}

void Editor::repaintPicture(const QRect& pictureRect) {
    update(toWidget(pictureRect).intersected(shown_.adjusted(-1, -1, 1, 1)));
}

void Editor::commitMarks() {
    QList<Mark> marks = markup_.marks();
    // A text being typed again or a mark being moved is drawn where it is now instead.
    const qsizetype hidden = retyped_ >= 0 ? retyped_ : moved_ ? selected_ : -1;
    if (hidden >= 0 && hidden < marks.size())
        marks.removeAt(hidden);
    marked_ = overlay::renderMarks(picture_, marks);
    marked_.setDevicePixelRatio(ratio_);
    refreshToolbar();
    update(shown_.adjusted(-1, -1, 1, 1));
}

void Editor::commitTyping() {
    if (!typing_)
        return;
    const Mark typed = *std::exchange(typing_, std::nullopt);
    if (retyped_ >= 0)
        markup_.replace(std::exchange(retyped_, -1), typed);
    else if (!typed.text.isEmpty())
        markup_.add(typed);
    commitMarks();
}

void Editor::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(QPointF(0, 0), dimmed_);
    painter.drawImage(origin(), marked_);
    painter.save();
    painter.translate(origin());
    painter.scale(1 / ratio_, 1 / ratio_);
    painter.setClipRect(QRect(QPoint(0, 0), picture_.size()));
    if (drawing_) {
        if (drawing_->tool == MarkTool::pixelate) {
            painter.setPen(QPen(Qt::white, ratio_, Qt::DashLine));
            painter.drawRect(QRectF(drawing_->points.front(), drawing_->points.back()));
        } else {
            overlay::paintMark(painter, *drawing_, marked_);
        }
    }
    if (moved_)
        overlay::paintMark(painter, *moved_, marked_);
    if (typing_) {
        overlay::paintMark(painter, *typing_, marked_);
        const QRectF box = overlay::textBox(*typing_);
        const qreal caret = typing_->text.isEmpty() ? box.left() : box.right();
        painter.setPen(QPen(typing_->color, std::max<qreal>(1, ratio_)));
        painter.drawLine(QPointF(caret + 1, box.top()), QPointF(caret + 1, box.bottom()));
    }
    painter.restore();
    painter.setPen(QPen(Qt::white, 1));
    painter.drawRect(shown_.adjusted(-1, -1, 0, 0));
    if (selecting_ && selected_ >= 0 && selected_ < markup_.marks().size()) {
        const QRect bounds = (moved_ ? *moved_ : markup_.marks()[selected_]).bounds();
        painter.setPen(QPen(Qt::white, 1, Qt::DashLine));
        painter.drawRect(toWidget(bounds));
    }
    if (resized_) {
        painter.setPen(QPen(Qt::white, 1, Qt::DashLine));
        painter.drawRect(
            QRectF(QPointF(resized_->topLeft()) / ratio_, QSizeF(resized_->size()) / ratio_));
    }
}

void Editor::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (selecting_) {
        const QPoint at = event->position().toPoint();
        edges_ = edgesNear(at);
        if (edges_) {
            resized_ = area_;
            return;
        }
        const QRect before =
            selected_ >= 0 ? toWidget(markup_.marks()[selected_].bounds()) : QRect();
        selected_ = shown_.contains(at) ? markup_.markAt(toPicture(event->position())) : -1;
        if (selected_ >= 0 || shown_.contains(at))
            grabbed_ = toPicture(event->position());
        if (selected_ < 0 && shown_.contains(at)) {
            // Where there is no mark, the drag moves the whole area over the frozen screen.
            edges_ = whole;
            resized_ = area_;
        }
        update(before | shown_);
        return;
    }
    if (!shown_.contains(event->position().toPoint()))
        return;
    commitTyping();
    const QPointF at = toPicture(event->position());
    const Style& style = styles_[static_cast<int>(tool_)];
    Mark mark;
    mark.tool = tool_;
    mark.color = style.color;
    mark.width = std::max(1, qRound(style.width * ratio_)); // as wide on any screen
    mark.points = {at};
    if (tool_ == MarkTool::text) {
        retyped_ = markup_.textAt(at);
        typing_ = retyped_ >= 0 ? markup_.marks()[retyped_] : mark;
        commitMarks();
        return;
    }
    if (tool_ == MarkTool::counter) {
        mark.number = markup_.nextNumber(mark.color, firstNumber_);
        markup_.add(mark);
        commitMarks();
        return;
    }
    if (tool_ != MarkTool::pen && tool_ != MarkTool::highlighter)
        mark.points.append(at);
    drawing_ = mark;
}

void Editor::mouseMoveEvent(QMouseEvent* event) {
    if (selecting_) {
        if (resized_) {
            // The taken edges follow the pointer, within the screen, never closer than 8 pixels.
            const QPoint at = (event->position() * ratio_).toPoint();
            QRect area = *resized_;
            if (edges_ == whole && grabbed_) {
                const QPoint by = (toPicture(event->position()) - *grabbed_).toPoint();
                area = area_.translated(by);
                area.moveLeft(std::clamp(area.left(), 0, screen_.width() - area.width()));
                area.moveTop(std::clamp(area.top(), 0, screen_.height() - area.height()));
            }
            if (edges_ & left)
                area.setLeft(std::clamp(at.x(), 0, area.right() - 8));
            if (edges_ & right)
                area.setRight(std::clamp(at.x(), area.left() + 8, screen_.width() - 1));
            if (edges_ & top)
                area.setTop(std::clamp(at.y(), 0, area.bottom() - 8));
            if (edges_ & bottom)
                area.setBottom(std::clamp(at.y(), area.top() + 8, screen_.height() - 1));
            resized_ = area;
            update();
        } else if (grabbed_ && selected_ >= 0) {
            const bool first = !moved_;
            moved_ = markup_.marks()[selected_].movedBy(toPicture(event->position()) - *grabbed_);
            if (first)
                commitMarks(); // the mark leaves its old place
            update(shown_.adjusted(-1, -1, 1, 1));
        } else if (!(event->buttons() & Qt::LeftButton)) {
            const int edges = edgesNear(event->position().toPoint());
            setCursor(edges == (left | top) || edges == (right | bottom)   ? Qt::SizeFDiagCursor
                      : edges == (right | top) || edges == (left | bottom) ? Qt::SizeBDiagCursor
                      : edges & (left | right)                             ? Qt::SizeHorCursor
                      : edges & (top | bottom)                             ? Qt::SizeVerCursor
                                                                           : Qt::ArrowCursor);
        }
        return;
    }
    if (!drawing_)
        return;
    const QRect before = drawing_->bounds();
    const QPointF at = toPicture(event->position());
    if (drawing_->tool == MarkTool::pen || drawing_->tool == MarkTool::highlighter)
        drawing_->points.append(at);
    else
        drawing_->points.back() = at;
    // Only what the stroke or the shape covered before and covers now is drawn again.
    repaintPicture(before | drawing_->bounds());
}

void Editor::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (selecting_) {
        if (resized_) {
            const QRect area = *std::exchange(resized_, std::nullopt);
            if (area != area_)
                applyArea(area);
        } else if (moved_) {
            const Mark moved = *std::exchange(moved_, std::nullopt);
            markup_.replace(selected_, moved);
            commitMarks();
        }
        grabbed_.reset();
        return;
    }
    if (!drawing_)
        return;
    const Mark mark = *std::exchange(drawing_, std::nullopt);
    if (isShape(mark))
        markup_.add(mark);
    commitMarks();
}

void Editor::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0)
        changeWidth(steps);
}

void Editor::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers modifiers =
        event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    const int key = event->key();
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    if (typing_) {
        const QRect before = typing_->bounds();
        if (key == Qt::Key_Escape) {
            typing_.reset();
            retyped_ = -1;
            commitMarks();
        } else if (enter) {
            commitTyping();
        } else if (key == Qt::Key_Backspace) {
            typing_->text.chop(1);
        } else if (!(modifiers & Qt::ControlModifier) && !event->text().isEmpty() &&
                   event->text().front().isPrint()) {
            typing_->text += event->text();
        }
        if (typing_)
            repaintPicture(before | typing_->bounds());
        return;
    }
    if (modifiers == Qt::ControlModifier && key == Qt::Key_Z) {
        selected_ = -1;
        markup_.undo();
        commitMarks();
    } else if ((modifiers == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_Z) ||
               (modifiers == Qt::ControlModifier && key == Qt::Key_Y)) {
        selected_ = -1;
        markup_.redo();
        commitMarks();
    } else if (modifiers == Qt::ControlModifier && key == Qt::Key_C) {
        finish(Ending::copy);
    } else if (modifiers == Qt::ControlModifier && key == Qt::Key_S) {
        finish(Ending::save);
    } else if (modifiers == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_S) {
        finish(Ending::saveAs);
    } else if (enter && modifiers == Qt::NoModifier) {
        finish(Ending::upload);
    } else if (key == Qt::Key_Escape) {
        cancelAsked();
    } else if ((key == Qt::Key_Delete || key == Qt::Key_Backspace) && selected_ >= 0) {
        markup_.remove(std::exchange(selected_, -1));
        commitMarks();
    } else if (modifiers == Qt::NoModifier && key == Qt::Key_V) {
        chooseSelect();
    } else if (modifiers == Qt::NoModifier && key >= Qt::Key_1 &&
               key < Qt::Key_1 + static_cast<int>(std::size(swatchColors))) {
        setColor(swatchColors[key - Qt::Key_1]);
    } else if (modifiers == Qt::NoModifier) {
        for (const ToolInfo& info : toolInfos) {
            if (info.shortcut == key)
                choose(info.tool);
        }
    }
}

void Editor::cancelAsked() {
    if (markup_.isEmpty()) {
        finish(std::nullopt);
        return;
    }
    releaseKeyboard();
    QMessageBox box(QMessageBox::Question, QStringLiteral("Shotlark"),
                    QStringLiteral("Discard your marks?"));
    box.setInformativeText(QStringLiteral("The picture is not uploaded, copied or saved."));
    QPushButton* discard = box.addButton(QStringLiteral("Discard"), QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton(QStringLiteral("Keep Editing"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
    if (box.clickedButton() == discard) {
        finish(std::nullopt);
        return;
    }
    activateWindow();
    grabKeyboard();
}

void Editor::finish(std::optional<Ending> ending) {
    if (std::exchange(done_, true))
        return;
    commitTyping();
    saveStyles();
    releaseKeyboard();
    hide();
    // What is on screen is what leaves: the marks were drawn into it as they were made, so the
    // ending costs no more than writing an unmarked capture.
    QImage picture = marked_;
    picture.setDevicePixelRatio(1);
    Q_EMIT finished(ending, ending ? picture : QImage());
}

} // namespace shotlark::tool
