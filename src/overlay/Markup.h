#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QString>

#include <optional>

class QPainter;

namespace shotlark::overlay {

enum class MarkTool {
    arrow,
    line,
    rectangle,
    ellipse,
    pen,
    highlighter,
    text,
    counter,
    pixelate,
    redact,
};

// How a marked-up picture leaves the editor; the editor names it on its standard output and the
// app reads the name back.
enum class Ending { upload, copy, save, saveAs };
QString endingName(Ending ending);
std::optional<Ending> endingNamed(const QString& name);

// One mark on a picture, in the picture's own pixels (device pixels), so that what leaves has
// exactly the marks drawn at the screen's real resolution.
struct Mark {
    MarkTool tool = MarkTool::pen;
    QColor color = Qt::red;
    int width = 4;         // line width; for text and counters, the size they are drawn at
    QList<QPointF> points; // two for shapes (start, end), every point for pen and highlighter
    QString text;          // text marks
    int number = 0;        // counters

    // The pixels the mark may touch, for repaints.
    QRect bounds() const;
    Mark movedBy(QPointF offset) const;
};

// The marks of one picture, with undo and redo. Every change is one step.
class Markup {
public:
    const QList<Mark>& marks() const { return states_[index_]; }
    bool isEmpty() const { return marks().isEmpty(); }

    void add(const Mark& mark);
    // Replaces mark `at` (a text edited again, a mark moved); an empty text removes it.
    void replace(qsizetype at, const Mark& mark);
    void remove(qsizetype at);
    // Moves every mark of every step by `offset`: the picture's origin moved under them.
    void shiftAll(QPointF offset);
    bool canUndo() const { return index_ > 0; }
    bool canRedo() const { return index_ + 1 < states_.size(); }
    void undo();
    void redo();

    // The number the next counter of `color` gets: one more than the last of that colour, or
    // `start` for the first (each colour is a series of its own).
    int nextNumber(const QColor& color, int start) const;
    // The text mark whose box contains `point`; -1 when none.
    qsizetype textAt(QPointF point) const;
    // The topmost mark at `point`; -1 when none.
    qsizetype markAt(QPointF point) const;

private:
    void push(QList<Mark> state);

    QList<QList<Mark>> states_{QList<Mark>()};
    qsizetype index_ = 0;
};

// Draws `mark` onto `painter`, which paints on `picture` (pixelation reads what is below).
void paintMark(QPainter& painter, const Mark& mark, const QImage& picture);
// The picture with every mark drawn, at its own size.
QImage renderMarks(const QImage& picture, const QList<Mark>& marks);
// The box a text mark takes.
QRectF textBox(const Mark& mark);

} // namespace shotlark::overlay
