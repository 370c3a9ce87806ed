#include "recording/RegionSelector.h"

#include "overlay/SelectionOverlay.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRegion>

namespace shotlark {

RegionSelector::RegionSelector(const QList<QImage>& frozen) {
    overlay::OverlayStyle style;
    style.hint = overlay::SelectionModel::recordingHint;
    session_ = std::make_unique<overlay::SelectionSession>(frozen, overlay::SelectionRules{8, true},
                                                           style);
    connect(session_.get(), &overlay::SelectionSession::finished, this,
            [this](int screen, const overlay::Outcome& outcome) {
                auto completion = std::exchange(completion_, nullptr);
                if (!completion)
                    return;
                if (outcome.kind == overlay::Outcome::Kind::Cancelled) {
                    completion(std::nullopt);
                    return;
                }
                completion(Selection{QGuiApplication::screens().value(screen), outcome.rect,
                                     outcome.kind == overlay::Outcome::Kind::WholeScreen});
            });
}

RegionSelector::~RegionSelector() = default;

void RegionSelector::begin(std::function<void(std::optional<Selection>)> completion) {
    completion_ = std::move(completion);
    session_->show();
}

void RegionSelector::cancel() {
    session_.reset();
    if (auto completion = std::exchange(completion_, nullptr))
        completion(std::nullopt);
}

namespace {

// Paints the outline; the window is shaped to the outline's ring, so that without a compositor
// nothing but the ring covers the screen.
class FrameView : public QWidget {
public:
    FrameView() {
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                       Qt::X11BypassWindowManagerHint | Qt::Tool | Qt::WindowTransparentForInput |
                       Qt::WindowDoesNotAcceptFocus);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setWindowTitle(QStringLiteral("Shotlark recording frame"));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QPen pen(QColor(0xff, 0x3b, 0x30), 2);
        pen.setDashPattern({3, 2}); // 6 drawn, 4 apart, in units of the 2-pixel width
        painter.setPen(pen);
        painter.drawRect(QRectF(rect()).adjusted(2, 2, -2, -2));
    }

    void resizeEvent(QResizeEvent*) override {
        setMask(QRegion(rect()).subtracted(QRegion(rect().adjusted(3, 3, -3, -3))));
    }
};

} // namespace

RecordingFrame::RecordingFrame() = default;
RecordingFrame::~RecordingFrame() = default;

void RecordingFrame::show(const Selection& selection) {
    if (!selection.screen)
        return;
    const QRect global = selection.rect.translated(selection.screen->geometry().topLeft());
    window_ = std::make_unique<FrameView>();
    window_->setGeometry(global.adjusted(-3, -3, 3, 3));
    window_->show();
}

void RecordingFrame::hide() {
    if (window_)
        window_->hide();
    window_.reset();
}

} // namespace shotlark
