// The editor's toolbar and the styles each tool keeps from one run to the next.
#include "Editor.h"
#include "EditorTools.h"

#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QToolButton>

namespace shotlark::tool {

using namespace tools;

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
    firstNumberBox_ = first;
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
    firstNumberBox_->setVisible(false);
    refreshToolbar();
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
    firstNumberBox_->setVisible(tool == MarkTool::counter);
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
