#pragma once

#include "overlay/Markup.h"

#include <QHash>
#include <QImage>
#include <QWidget>

#include <optional>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QScreen;
class QToolButton;

namespace shotlark::tool {

using overlay::Ending;

// The chosen area of a frozen screen, left on screen with a toolbar beside it to draw on:
// shapes, pen and highlighter, text typed in place, numbered steps, pixelation and redaction,
// with undo and redo. Each tool remembers its colour and width (in the user's configuration).
class Editor : public QWidget {
    Q_OBJECT
public:
    // `screen` is the whole frozen screen and `area` the chosen part, both in device pixels.
    Editor(const QImage& screen, QScreen* where, const QRect& area);
    ~Editor() override;

    void start();

Q_SIGNALS:
    // The picture with its marks, and how it leaves; no ending: cancelled.
    void finished(std::optional<shotlark::overlay::Ending> ending, const QImage& picture);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Style {
        QColor color;
        int width = 4;
    };

    void buildToolbar();
    void chooseSelect();
    // Which edges of the area are within reach of `at` (widget coordinates): a bit each.
    int edgesNear(QPoint at) const;
    void applyArea(const QRect& area);
    // The chosen area (device pixels) and what follows from it: its picture and its place on
    // screen.
    void setArea(const QRect& area);
    QPointF origin() const; // the area's top left in the widget's coordinates
    void placeToolbar();
    void choose(overlay::MarkTool tool);
    void setColor(const QColor& color);
    void changeWidth(int by);
    void refreshToolbar();
    void commitTyping();
    void commitMarks(); // the marks changed: draw them afresh
    void finish(std::optional<Ending> ending);
    void cancelAsked();
    void loadStyles();
    void saveStyles() const;

    QPointF toPicture(QPointF widgetPoint) const;
    QRect toWidget(const QRect& pictureRect) const;
    void repaintPicture(const QRect& pictureRect);

    QScreen* where_;
    QImage screen_;  // the frozen screen (device pixels)
    QImage dimmed_;  // the frozen screen, dimmed, as the widget shows it
    QImage picture_; // the chosen area, unmarked (device pixels)
    QImage marked_;  // the chosen area with every committed mark
    QRect area_;     // the chosen area in device pixels of the screen
    QRect shown_;    // the same in the widget's (logical) coordinates
    qreal ratio_ = 1;
    overlay::Markup markup_;
    overlay::MarkTool tool_ = overlay::MarkTool::arrow;
    QHash<int, Style> styles_; // by tool
    int firstNumber_ = 1;
    std::optional<overlay::Mark> drawing_; // the mark being dragged
    std::optional<overlay::Mark> typing_;  // a text being typed
    qsizetype retyped_ = -1;               // the text mark being edited again, or -1
    // Selecting: marks are picked and moved, the area's edges dragged.
    bool selecting_ = false;
    qsizetype selected_ = -1;
    std::optional<QPointF> grabbed_;     // where the selected mark was taken (picture pixels)
    std::optional<overlay::Mark> moved_; // the selected mark where it is being dragged
    int edges_ = 0;                      // the edges being dragged
    std::optional<QRect> resized_;       // the area being resized (device pixels)

    QWidget* toolbar_ = nullptr;
    QButtonGroup* tools_ = nullptr;
    QLabel* width_ = nullptr;
    QWidget* firstNumberBox_ = nullptr; // shown with the step numbers
    QToolButton* undo_ = nullptr;
    QToolButton* redo_ = nullptr;
    QList<QToolButton*> swatches_;
    bool done_ = false;
};

} // namespace shotlark::tool
