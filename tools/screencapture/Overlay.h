#pragma once

#include "overlay/SelectionOverlay.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>

#include <memory>

namespace shotlark::tool {

// The interactive choice over every screen: a dragged region, or the window under a click.
// Reports the screen chosen on and the place there (device pixels), or -1 when cancelled.
class Picker : public QObject {
    Q_OBJECT
public:
    Picker(const QList<QImage>& frozen, bool windows);
    ~Picker() override;
    void show();

Q_SIGNALS:
    void finished(int screen, const QRect& pixels);

private:
    // In Qt's global coordinates, from the overlays.
    void hover(QPoint global);
    void released(QPoint global);
    void cancel();
    QRect toPixels(int screen, const QRect& logicalOnScreen) const;
    // The topmost window under a point of Qt's global coordinates, on the root window.
    QRect windowAt(const QPoint& global) const;
    // The screen a point of Qt's global coordinates is on.
    const overlay::ScreenSpace* spaceAt(const QPoint& global) const;

    QList<QImage> frozen_;
    bool windows_;
    QList<overlay::ScreenSpace> spaces_;
    std::unique_ptr<overlay::SelectionSession> session_;
    QList<QRect> windowRects_; // top-level windows, topmost last, on the root window (pixels)
    QRect hovered_;
};

} // namespace shotlark::tool
