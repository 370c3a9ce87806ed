#pragma once

#include "platform/Recording.h"

namespace shotlark::platform::wayland {

// Frames of the PipeWire video stream `node` on the connection `fd` (which it takes), as the
// ScreenCast portal hands them out; at the recording's steady rate, whatever the stream sends.
// The area given to start() is in units of `announced`, the size the desktop gave the stream.
std::unique_ptr<FrameSource> makePipeWireFrameSource(int fd, quint32 node, QSize announced);

} // namespace shotlark::platform::wayland
