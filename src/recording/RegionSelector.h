#pragma once

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

namespace shotlark {

namespace overlay {
class SelectionSession;
}
namespace platform {
class ScreenCast;
}

// The recording area chosen on the overlays: a dragged area, or a whole screen by a click. In a
// Wayland session, the screen or window the desktop streams instead.
struct Selection {
    QPointer<QScreen> screen; // where the choice was made; null once that screen is gone
    QRect rect;               // logical, relative to the screen's top-left corner
    bool isFullScreen = false;
    std::shared_ptr<platform::ScreenCast> stream = nullptr; // what the area is cut from (Wayland)
    QImage firstPicture{}; // the stream's, taken when it was chosen
};

// The dimmed overlays on every screen from which a recording area is chosen. `frozen` is what
// each screen (in Qt's order) showed when the choice began.
class RegionSelector : public QObject {
public:
    explicit RegionSelector(const QList<QImage>& frozen);
    ~RegionSelector() override;

    // Shows the overlays; `completion` gets the selection, or nothing for Escape, once.
    void begin(std::function<void(std::optional<Selection>)> completion);
    // Takes the overlays away as Escape does.
    void cancel();

private:
    std::unique_ptr<overlay::SelectionSession> session_;
    std::function<void(std::optional<Selection>)> completion_;
};

// The dashed red outline around the area being recorded: above other windows, click-through,
// and drawn 1 to 3 pixels outside the area so that it is never in the picture.
class RecordingFrame {
public:
    RecordingFrame();
    ~RecordingFrame();
    void show(const Selection& selection);
    void hide();
    QWidget* window() const { return window_.get(); }

private:
    std::unique_ptr<QWidget> window_;
};

} // namespace shotlark
