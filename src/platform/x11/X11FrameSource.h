#pragma once

#include "platform/Recording.h"

#include <memory>

namespace shotlark::platform::x11 {

// Frames grabbed through MIT-SHM on a display connection of the recorder's own, with the
// pointer drawn in from XFixes. Every second it checks with RandR that the recorded area is
// still on a monitor.
std::unique_ptr<FrameSource> makeFrameSource();

} // namespace shotlark::platform::x11
