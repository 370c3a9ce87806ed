#pragma once

#include "platform/Services.h"

namespace shotlark::platform::wayland {

// The clipboard of a Wayland session through the wlr data-control protocol (sway and other
// wlroots desktops, KDE Plasma): unlike the core protocol, it lets a client without a focused
// window (a tray app) set and read the clipboard. Talks to the compositor over a connection of
// its own, served on the main thread's event loop.
class DataControlClipboard : public Clipboard {
public:
    // Null when the compositor doesn't offer data-control (GNOME).
    static std::unique_ptr<DataControlClipboard> connect();
    ~DataControlClipboard() override;

    QCoro::Task<bool> setText(QString text) override;
    QCoro::Task<bool> setImage(QByteArray png) override;
    QCoro::Task<std::unique_ptr<QMimeData>> contents() override;

    struct Impl;

private:
    explicit DataControlClipboard(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace shotlark::platform::wayland
