#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

namespace shotlark::overlay {

// What a press, a drag and a release on one screen's overlay mean.
struct SelectionRules {
    int minimumDrag = 8;          // narrower or lower than this is a click
    bool clickTakesScreen = true; // a click chooses the whole screen; otherwise it cancels
};

// The outcome of a release.
struct Outcome {
    enum class Kind { Area, WholeScreen, Cancelled };
    Kind kind = Kind::Cancelled;
    QRect rect; // in the overlay's coordinates (top-left origin); the whole view for WholeScreen
};

// The drag on one overlay, without any widget: where it started, where the pointer is, and
// what a release there means. Coordinates are the overlay's own (logical, top-left origin).
class SelectionModel {
public:
    SelectionModel(SelectionRules rules, QSize view) : rules_(rules), view_(view) {}

    void press(QPoint at);
    void move(QPoint at);
    // Ends the drag; nothing when no press was seen.
    std::optional<Outcome> release(QPoint at);

    // The rectangle spanned so far, when it has an area.
    std::optional<QRect> dragged() const;
    bool isDragging() const { return start_.has_value(); }

    // "600 × 400": a logical size in device pixels, each cut towards zero.
    static QString sizeLabel(QSize logical, qreal ratio);
    // Where a rectangle's size label is centred: 18 below it, never closer than 14 to the
    // bottom of a view `height` high.
    static QPoint labelCenter(const QRect& rect, int height);

    static inline const QString recordingHint =
        QStringLiteral("Drag to record an area \u00b7 click to record this screen \u00b7 Esc to "
                       "cancel");

private:
    // The rectangle between two points: from 100 to 400 is 300 wide.
    static QRect span(QPoint a, QPoint b);

    SelectionRules rules_;
    QSize view_;
    std::optional<QPoint> start_;
    std::optional<QPoint> current_;
};

} // namespace shotlark::overlay
