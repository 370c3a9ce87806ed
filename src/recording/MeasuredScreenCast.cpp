#include "recording/MeasuredScreenCast.h"

namespace shotlark {

namespace {

class RescaledSource : public platform::FrameSource {
public:
    RescaledSource(std::unique_ptr<platform::FrameSource> source, QSizeF scale)
        : source_(std::move(source)), scale_(scale) {}

    void start(const QRect& area, int fps, Handlers handlers) override {
        const QRect inStream =
            area.isEmpty() ? area
                           : QRectF(area.x() * scale_.width(), area.y() * scale_.height(),
                                    area.width() * scale_.width(), area.height() * scale_.height())
                                 .toRect();
        source_->start(inStream, fps, std::move(handlers));
    }
    void stop() override { source_->stop(); }

private:
    std::unique_ptr<platform::FrameSource> source_;
    const QSizeF scale_; // stream units per picture pixel
};

} // namespace

std::unique_ptr<platform::FrameSource> MeasuredScreenCast::frameSource() {
    const QSize units = stream_->size();
    if (pictures_.isEmpty() || units.isEmpty() || units == pictures_)
        return stream_->frameSource();
    return std::make_unique<RescaledSource>(stream_->frameSource(),
                                            QSizeF(double(units.width()) / pictures_.width(),
                                                   double(units.height()) / pictures_.height()));
}

} // namespace shotlark
