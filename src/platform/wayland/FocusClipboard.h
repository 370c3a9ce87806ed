#pragma once

#include "platform/Services.h"

namespace shotlark::platform::wayland {

// The clipboard of a Wayland desktop without a data-control protocol (GNOME), through the core
// protocol. The compositor lets only the client with the keyboard focus set or read it, so a
// window of ours, too small to see, takes the focus for a moment; the clipboard is set with the
// serial of that moment, newer than whatever another app copied before (Qt would send the
// serial of the last click on one of our windows, which the compositor ignores then). Talks to
// the compositor over a connection of its own, served on the main thread's event loop, and keeps
// serving what it set after the window has gone.
class FocusClipboard : public Clipboard {
public:
    // Null when the compositor lacks a part it needs (xdg-shell, shared memory, a seat).
    static std::unique_ptr<FocusClipboard> connect();
    ~FocusClipboard() override;

    QCoro::Task<bool> setText(QString text) override;
    QCoro::Task<bool> setImage(QByteArray png) override;
    QCoro::Task<std::unique_ptr<QMimeData>> contents() override;

    struct Impl;

private:
    explicit FocusClipboard(std::unique_ptr<Impl> impl);
    QCoro::Task<bool> offer(QStringList types, QByteArray bytes);
    std::unique_ptr<Impl> impl_;
};

} // namespace shotlark::platform::wayland
