#pragma once

#include "platform/Recording.h"

#include <QSize>

#include <memory>

namespace shotlark {

// A desktop's screen stream with the size its pictures really have. Some desktops announce none
// (KDE's window streams), others another one than their buffers carry; recording at a guessed
// size stretches the picture. Areas are asked of it in picture pixels and handed on in the
// stream's own units.
class MeasuredScreenCast : public platform::ScreenCast {
public:
    MeasuredScreenCast(std::shared_ptr<platform::ScreenCast> stream, QSize pictures)
        : stream_(std::move(stream)), pictures_(pictures) {}

    QSize size() const override { return pictures_; }
    QRect placement() const override { return stream_->placement(); }
    bool isWindow() const override { return stream_->isWindow(); }
    std::unique_ptr<platform::FrameSource> frameSource() override;

private:
    std::shared_ptr<platform::ScreenCast> stream_;
    const QSize pictures_;
};

} // namespace shotlark
