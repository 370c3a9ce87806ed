#pragma once

#include "platform/Recording.h"

#include <functional>

namespace shotlark::platform::wayland {

// Makes a frame source of the PipeWire stream `node` on the connection `fd` (which it takes),
// whose size the desktop announced as `announced`.
using PipeWireSourceMaker =
    std::function<std::unique_ptr<FrameSource>(int fd, quint32 node, QSize announced)>;

// Asks xdg-desktop-portal's ScreenCast portal for one monitor or window, with the cursor drawn
// into the picture, and opens its PipeWire connection. The desktop asks the user unless
// `restoreToken` brings back an earlier choice; the answer carries the token for the next time.
// Throws `NoScreenCastPortal` when the session has no such portal, `Error` when it fails.
QCoro::Task<ScreenCastChoice> openScreenCast(QString restoreToken, PipeWireSourceMaker maker);

} // namespace shotlark::platform::wayland
