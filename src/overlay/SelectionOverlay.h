#pragma once

#include "overlay/SelectionModel.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QWidget>

#include <memory>
#include <vector>

class QScreen;

namespace shotlark::overlay {

// Where a screen is in Qt's coordinates and in the X server's pixels. Qt keeps a screen's origin
// as the server has it and divides only its size by the device pixel ratio, so a point maps
// through its own screen's origin, never through a global factor.
struct ScreenSpace {
    QRect logical; // QScreen::geometry()
    QRect native;  // the same screen in device pixels
    qreal ratio = 1;

    // Every screen, in Qt's order.
    static QList<ScreenSpace> all();
    QPoint toNative(QPoint logicalGlobal) const;
    // A device-pixel rectangle as this screen's overlay sees it; empty when not on this screen.
    QRect toOverlay(const QRect& nativeGlobal) const;
};

struct OverlayStyle {
    QString hint;             // shown centred until a drag starts; empty: none
    bool showsSize = true;    // the dragged size in pixels below the area
    bool picksPoints = false; // clicks and moves are reported, nothing is dragged
    QString title = QStringLiteral("Shotlark area"); // the overlay windows' name
};

// One screen's overlay: the screen as it was when the choice began (no compositor needed),
// dimmed, with the chosen area undimmed and outlined in white.
class SelectionOverlay : public QWidget {
    Q_OBJECT
public:
    SelectionOverlay(const QImage& frozen, QScreen* screen, SelectionRules rules,
                     OverlayStyle style);

    // An area to show undimmed without a drag (a window under the pointer); empty: none.
    void setHighlight(const QRect& area);

Q_SIGNALS:
    void finished(const shotlark::overlay::Outcome& outcome);
    // With picksPoints: the pointer moved, or the left button was released, at a global point.
    void pointerMoved(QPoint global);
    void pointClicked(QPoint global);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void drawLabel(class QPainter& painter, const QString& text, QPoint center) const;

    QImage frozen_;
    QImage dimmed_;
    SelectionModel model_;
    OverlayStyle style_;
    QRect highlight_;
};

// Overlays on every screen for one choice; reports the first outcome once and hides them.
class SelectionSession : public QObject {
    Q_OBJECT
public:
    SelectionSession(const QList<QImage>& frozen, SelectionRules rules, OverlayStyle style);
    ~SelectionSession() override;

    void show();
    const std::vector<std::unique_ptr<SelectionOverlay>>& overlays() const { return overlays_; }

Q_SIGNALS:
    // The choice on screen `screen` (Qt's order); Cancelled also for Escape anywhere.
    void finished(int screen, const shotlark::overlay::Outcome& outcome);

private:
    std::vector<std::unique_ptr<SelectionOverlay>> overlays_;
    bool done_ = false;
};

} // namespace shotlark::overlay
