#pragma once

#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QWidget>

#include "Grab.h"

#include <memory>
#include <vector>

namespace shotlark::tool {

class Picker;

// One screen's overlay: the frozen picture, dimmed, with the selection shown undimmed.
class Overlay : public QWidget {
public:
    Overlay(Picker& picker, int screenIndex, const QImage& frozen);
    void setHighlight(const QRect& logical); // in this overlay's coordinates; empty: none

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    Picker& picker_;
    int screen_;
    QImage frozen_;
    QImage dimmed_;
    QRect highlight_;
    QPoint pressAt_;
    bool dragging_ = false;
};

// Runs the interactive choice over every screen and reports the chosen image, or a null image
// when cancelled.
class Picker : public QObject {
    Q_OBJECT
public:
    Picker(const QList<QImage>& frozen, bool windows);
    ~Picker() override;
    void show();

    bool pickingWindows() const { return windows_; }
    // Called by the overlays, in global logical coordinates.
    void hover(const QPoint& global);
    void dragged(int screen, const QRect& logical);
    void released(int screen, const QRect& logical, const QPoint& global);
    void cancel();

Q_SIGNALS:
    void finished(const QImage& image);

private:
    QImage crop(int screen, const QRect& logicalOnScreen) const;
    // The topmost window under a point of Qt's global coordinates, on the root window.
    QRect windowAt(const QPoint& global) const;
    // The screen a point of Qt's global coordinates is on.
    const ScreenSpace* spaceAt(const QPoint& global) const;

    QList<QImage> frozen_;
    bool windows_;
    QList<ScreenSpace> spaces_;
    std::vector<std::unique_ptr<Overlay>> overlays_;
    QList<QRect> windowRects_; // top-level windows, topmost last, on the root window (pixels)
    QRect hovered_;
};

} // namespace shotlark::tool
