#pragma once

#include <cstdlib>
#include <cstring>

namespace shotlark {

// Whether a window system can be reached, asked before any GUI object exists: without one Qt
// aborts with a page about platform plugins instead of a clear word.
inline bool hasGraphicalSession() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    // An explicit non-windowing platform (offscreen, vnc, ...) needs no display.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0 &&
        std::strncmp(platform, "wayland", 7) != 0)
        return true;
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

inline constexpr const char* noGraphicalSession =
    "needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set";

} // namespace shotlark
