#include "Editor.h"

#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QSpinBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QWindow>

#include <algorithm>
#include <iterator>

namespace shotlark::tool {

using overlay::Mark;
using overlay::MarkTool;

namespace {

struct ToolInfo {
    MarkTool tool;
    const char* key; // as stored
    const char* glyph;
    const char* name;
    Qt::Key shortcut;
    const char* tip;
    QColor color; // the first time
    int width;
};

const ToolInfo toolInfos[] = {
    {MarkTool::arrow, "arrow", "\u2197", "Arrow", Qt::Key_A, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::line, "line", "\u2571", "Line", Qt::Key_L, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::rectangle, "rectangle", "\u25ad", "Rectangle", Qt::Key_R, "",
     QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::ellipse, "ellipse", "\u25ef", "Ellipse", Qt::Key_E, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::pen, "pen", "\u270e", "Pen", Qt::Key_P, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::highlighter, "highlighter", "\u258c", "Highlighter", Qt::Key_H, "",
     QColor(0xfd, 0xd8, 0x35), 5},
    {MarkTool::text, "text", "T", "Text", Qt::Key_T,
     "Click to type; click a text again to change it", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::counter, "counter", "\u2460", "Step number", Qt::Key_N,
     "1, 2, 3\u2026 each colour counts on its own", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::pixelate, "pixelate", "\u25a6", "Pixelate", Qt::Key_X,
     "A determined reader can undo pixelation: use Redact to hide secrets",
     QColor(0x80, 0x80, 0x80), 4},
    {MarkTool::redact, "redact", "\u25a0", "Redact", Qt::Key_B,
     "A solid box: nothing of what is below remains", QColor(Qt::black), 4},
};

const QColor swatchColors[] = {QColor(0xe5, 0x39, 0x35), QColor(0xfb, 0x8c, 0x00),
                               QColor(0xfd, 0xd8, 0x35), QColor(0x43, 0xa0, 0x47),
                               QColor(0x1e, 0x88, 0xe5), QColor(Qt::black),
                               QColor(Qt::white)};

constexpr int selectId = 100; // the selection tool's button
constexpr int edgeReach = 6;  // how near an edge of the area a press takes the edge
enum Edge { left = 1, right = 2, top = 4, bottom = 8, whole = 16 }; // whole: the area moves

constexpr int smallestWidth = 1;
constexpr int largestWidth = 30;

const ToolInfo& infoOf(MarkTool tool) {
    return *std::find_if(std::begin(toolInfos), std::end(toolInfos),
                         [tool](const ToolInfo& info) { return info.tool == tool; });
}

QString stylesFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Shotlark/markup.json");
}

// Drags shorter than this are slips, not shapes.
bool isShape(const Mark& mark) {
    if (mark.tool == MarkTool::pen || mark.tool == MarkTool::highlighter)
        return true;
    return QLineF(mark.points.front(), mark.points.back()).length() >= 3;
}

} // namespace

const char* endingName(Ending ending) {
    switch (ending) {
    case Ending::upload:
        return "upload";
    case Ending::copy:
        return "copy";
    case Ending::save:
        return "save";
    case Ending::saveAs:
        return "save-as";
    }
    return "";
}

Editor::Editor(const QImage& screen, QScreen* where, const QRect& area)
    : where_(where), area_(area.intersected(screen.rect())) {
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
    picture_ = screen_.copy(area_);
    const QPointF origin = QPointF(area_.topLeft()) / ratio_;
    shown_ = QRectF(origin, QSizeF(area_.size()) / ratio_).toAlignedRect();
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

void Editor::buildToolbar() {
    toolbar_ = new QWidget(this);
    toolbar_->setAutoFillBackground(true);
    toolbar_->setCursor(Qt::ArrowCursor);
    auto* row = new QHBoxLayout(toolbar_);
    row->setContentsMargins(6, 4, 6, 4);
    row->setSpacing(2);
    tools_ = new QButtonGroup(toolbar_);
    auto* select = new QToolButton;
    select->setText(QStringLiteral("\u2725"));
    select->setCheckable(true);
    select->setAutoRaise(true);
    select->setToolTip(QStringLiteral("Select (V): drag a mark to move it, Delete removes it; drag "
                                      "the area's edges to resize it"));
    tools_->addButton(select, selectId);
    row->addWidget(select);
    for (const ToolInfo& info : toolInfos) {
        auto* button = new QToolButton;
        button->setText(QString::fromUtf8(info.glyph));
        button->setCheckable(true);
        button->setAutoRaise(true);
        QString tip = QStringLiteral("%1 (%2)").arg(QString::fromUtf8(info.name),
                                                    QKeySequence(info.shortcut).toString());
        if (*info.tip)
            tip += QStringLiteral(": ") + QString::fromUtf8(info.tip);
        button->setToolTip(tip);
        tools_->addButton(button, static_cast<int>(info.tool));
        row->addWidget(button);
    }
    connect(tools_, &QButtonGroup::idClicked, this, [this](int id) {
        if (id == selectId)
            chooseSelect();
        else
            choose(static_cast<MarkTool>(id));
    });
    row->addSpacing(8);
    for (const QColor& color : swatchColors) {
        auto* swatch = new QToolButton;
        QPixmap square(14, 14);
        square.fill(color);
        swatch->setIcon(QIcon(square));
        swatch->setCheckable(true);
        swatch->setAutoRaise(true);
        swatch->setToolTip(QStringLiteral("Colour (%1)").arg(swatches_.size() + 1));
        connect(swatch, &QToolButton::clicked, this, [this, color] { setColor(color); });
        swatches_.append(swatch);
        row->addWidget(swatch);
    }
    width_ = new QLabel;
    width_->setToolTip(QStringLiteral("Width: turn the mouse wheel"));
    width_->setMinimumWidth(
        width_->fontMetrics().horizontalAdvance(QStringLiteral("\u2195 30 px")));
    row->addWidget(width_);
    auto* first = new QSpinBox;
    first->setRange(0, 999);
    first->setValue(firstNumber_);
    first->setPrefix(QStringLiteral("from "));
    first->setToolTip(QStringLiteral("The number a new colour's steps start at"));
    first->setFocusPolicy(Qt::ClickFocus);
    connect(first, &QSpinBox::valueChanged, this, [this](int value) { firstNumber_ = value; });
    counterStart_ = first;
    row->addWidget(first);
    row->addSpacing(8);
    undo_ = new QToolButton;
    undo_->setText(QStringLiteral("\u21b6"));
    undo_->setToolTip(QStringLiteral("Undo (Ctrl+Z)"));
    redo_ = new QToolButton;
    redo_->setText(QStringLiteral("\u21b7"));
    redo_->setToolTip(QStringLiteral("Redo (Ctrl+Shift+Z)"));
    for (QToolButton* button : {undo_, redo_}) {
        button->setAutoRaise(true);
        row->addWidget(button);
    }
    connect(undo_, &QToolButton::clicked, this, [this] {
        selected_ = -1;
        markup_.undo();
        commitMarks();
    });
    connect(redo_, &QToolButton::clicked, this, [this] {
        selected_ = -1;
        markup_.redo();
        commitMarks();
    });
    row->addSpacing(8);
    const std::pair<const char*, Ending> endings[] = {
        {"Copy", Ending::copy}, {"Save", Ending::save}, {"Upload", Ending::upload}};
    for (const auto& [title, ending] : endings) {
        auto* button = new QPushButton(QString::fromUtf8(title));
        button->setFocusPolicy(Qt::NoFocus);
        button->setToolTip(ending == Ending::copy   ? QStringLiteral("Copy the picture (Ctrl+C)")
                           : ending == Ending::save ? QStringLiteral("Save to Pictures (Ctrl+S); "
                                                                     "Ctrl+Shift+S asks where")
                                                    : QStringLiteral("Upload (Enter)"));
        connect(button, &QPushButton::clicked, this, [this, ending = ending] { finish(ending); });
        row->addWidget(button);
    }
    choose(tool_);
}

void Editor::placeToolbar() {
    toolbar_->adjustSize();
    const QSize size = toolbar_->size();
    const int x =
        std::clamp(shown_.right() - size.width() + 1, 4, std::max(4, width() - size.width() - 4));
    // Beside the area where there is room, never over it unless the area fills the screen.
    const QList<QPoint> places = {{x, shown_.bottom() + 8},
                                  {x, shown_.top() - 8 - size.height()},
                                  {shown_.right() + 8, std::max(4, shown_.top())},
                                  {shown_.left() - 8 - size.width(), std::max(4, shown_.top())}};
    for (const QPoint& place : places) {
        const QRect box(place, size);
        if (rect().contains(box) && !box.intersects(shown_)) {
            toolbar_->move(place);
            return;
        }
    }
    toolbar_->move(x, std::max(4, shown_.bottom() - size.height() - 8));
}

void Editor::chooseSelect() {
    commitTyping();
    selecting_ = true;
    setMouseTracking(true); // the cursor tells where an edge can be taken
    tools_->button(selectId)->setChecked(true);
    setCursor(Qt::ArrowCursor);
    counterStart_->setVisible(false);
    refreshToolbar();
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

void Editor::applyArea(const QRect& area) {
    // The marks stay where they are on the screen: their picture's origin moved under them.
    markup_.shiftAll(QPointF(area_.topLeft() - area.topLeft()));
    area_ = area;
    picture_ = screen_.copy(area_);
    const QPointF origin = QPointF(area_.topLeft()) / ratio_;
    shown_ = QRectF(origin, QSizeF(area_.size()) / ratio_).toAlignedRect();
    selected_ = -1;
    placeToolbar();
    commitMarks();
    update();
}

void Editor::choose(MarkTool tool) {
    commitTyping();
    selecting_ = false;
    selected_ = -1;
    setMouseTracking(false);
    tool_ = tool;
    if (QAbstractButton* button = tools_->button(static_cast<int>(tool)))
        button->setChecked(true);
    setCursor(tool == MarkTool::text ? Qt::IBeamCursor : Qt::CrossCursor);
    counterStart_->setVisible(tool == MarkTool::counter);
    if (isVisible())
        placeToolbar();
    refreshToolbar();
}

void Editor::setColor(const QColor& color) {
    styles_[static_cast<int>(tool_)].color = color;
    if (typing_) {
        typing_->color = color;
        repaintPicture(typing_->bounds());
    }
    refreshToolbar();
}

void Editor::changeWidth(int by) {
    Style& style = styles_[static_cast<int>(tool_)];
    style.width = std::clamp(style.width + by, smallestWidth, largestWidth);
    if (typing_) {
        const QRect before = typing_->bounds();
        typing_->width = std::max(1, qRound(style.width * ratio_));
        repaintPicture(before | typing_->bounds());
    }
    refreshToolbar();
}

void Editor::refreshToolbar() {
    const Style& style = styles_[static_cast<int>(tool_)];
    for (qsizetype i = 0; i < swatches_.size(); ++i)
        swatches_[i]->setChecked(swatchColors[i] == style.color);
    width_->setText(QStringLiteral("\u2195 %1 px").arg(style.width));
    undo_->setEnabled(markup_.canUndo());
    redo_->setEnabled(markup_.canRedo());
}

QPointF Editor::toPicture(QPointF widgetPoint) const {
    return (widgetPoint - QPointF(area_.topLeft()) / ratio_) * ratio_;
}

QRect Editor::toWidget(const QRect& pictureRect) const {
    const QPointF origin = QPointF(area_.topLeft()) / ratio_;
    return QRectF(origin + QPointF(pictureRect.topLeft()) / ratio_,
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
    const QPointF origin = QPointF(area_.topLeft()) / ratio_;
    painter.drawImage(origin, marked_);
    painter.save();
    painter.translate(origin);
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

void Editor::loadStyles() {
    for (const ToolInfo& info : toolInfos)
        styles_[static_cast<int>(info.tool)] = {info.color, info.width};
    QFile file(stylesFile());
    if (!file.open(QIODevice::ReadOnly))
        return;
    // Written by this tool; anything unreadable in it just leaves the first-time styles.
    const QJsonObject stored = QJsonDocument::fromJson(file.read(64 * 1024)).object();
    const QJsonObject styles = stored.value(QStringLiteral("styles")).toObject();
    for (const ToolInfo& info : toolInfos) {
        const QJsonObject style = styles.value(QString::fromLatin1(info.key)).toObject();
        const QColor color(style.value(QStringLiteral("color")).toString());
        const int width = style.value(QStringLiteral("width")).toInt(0);
        Style& kept = styles_[static_cast<int>(info.tool)];
        if (color.isValid())
            kept.color = color;
        if (width >= smallestWidth && width <= largestWidth)
            kept.width = width;
    }
    const QString tool = stored.value(QStringLiteral("tool")).toString();
    for (const ToolInfo& info : toolInfos) {
        if (tool == QString::fromLatin1(info.key))
            tool_ = info.tool;
    }
    firstNumber_ = std::clamp(stored.value(QStringLiteral("counterStart")).toInt(1), 0, 999);
}

void Editor::saveStyles() const {
    QJsonObject styles;
    for (const ToolInfo& info : toolInfos) {
        const Style& style = styles_[static_cast<int>(info.tool)];
        styles.insert(QString::fromLatin1(info.key),
                      QJsonObject{{QStringLiteral("color"), style.color.name()},
                                  {QStringLiteral("width"), style.width}});
    }
    const QJsonObject stored{{QStringLiteral("styles"), styles},
                             {QStringLiteral("tool"), QString::fromLatin1(infoOf(tool_).key)},
                             {QStringLiteral("counterStart"), firstNumber_}};
    QDir().mkpath(QFileInfo(stylesFile()).absolutePath());
    QSaveFile file(stylesFile());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(stored).toJson());
        file.commit();
    }
}

} // namespace shotlark::tool
