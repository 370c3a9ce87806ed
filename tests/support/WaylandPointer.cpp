// shotlark-test-pointer: a virtual pointer on a wlroots compositor (sway), for tests on a headless
// Wayland session, which has no input devices. Commands on standard input, one a line:
//   move X Y      the pointer to X,Y of the output layout (sized WIDTH x HEIGHT on the command
//   line) press | release   the left button
// Each is answered "ok" once the compositor has seen it. The pointer exists while this runs.
//   shotlark-test-pointer WIDTH HEIGHT
#include <wayland-client.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// The wlr-virtual-pointer-unstable-v1 protocol's two interfaces, as wayland-scanner would write
// them (only the requests; neither has events).
extern const wl_interface virtualPointerInterface;
const wl_interface* managerTypes[] = {&wl_seat_interface, &virtualPointerInterface};
const wl_message managerRequests[] = {
    {"create_virtual_pointer", "?on", managerTypes},
    {"destroy", "", nullptr},
};
const wl_interface managerInterface = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, managerRequests, 0, nullptr};
const wl_interface* noTypes[] = {nullptr, nullptr, nullptr, nullptr, nullptr};
const wl_message pointerRequests[] = {
    {"motion", "uff", noTypes},   {"motion_absolute", "uuuuu", noTypes},
    {"button", "uuu", noTypes},   {"axis", "uuf", noTypes},
    {"frame", "", nullptr},       {"axis_source", "u", noTypes},
    {"axis_stop", "uu", noTypes}, {"axis_discrete", "uufi", noTypes},
    {"destroy", "", nullptr},
};
const wl_interface virtualPointerInterface = {"zwlr_virtual_pointer_v1", 1, 9,
                                              pointerRequests,           0, nullptr};

enum : uint32_t { motionAbsolute = 1, button = 2, frame = 4 };
constexpr uint32_t leftButton = 0x110; // BTN_LEFT

wl_seat* seat = nullptr;
wl_proxy* manager = nullptr;

void global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (!std::strcmp(interface, "wl_seat") && !seat)
        seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!std::strcmp(interface, managerInterface.name))
        manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &managerInterface, 1));
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener = {global, globalRemove};

uint32_t now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint32_t(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: shotlark-test-pointer WIDTH HEIGHT\n");
        return 64;
    }
    const uint32_t width = uint32_t(std::atoi(argv[1])), height = uint32_t(std::atoi(argv[2]));
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "shotlark-test-pointer: no Wayland display\n");
        return 1;
    }
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (!seat || !manager) {
        std::fprintf(stderr, "shotlark-test-pointer: the compositor has no virtual pointers\n");
        return 1;
    }
    wl_proxy* pointer =
        wl_proxy_marshal_constructor(manager, 0, &virtualPointerInterface, seat, nullptr);
    wl_display_roundtrip(display);
    std::printf("ready\n");
    std::fflush(stdout);
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        unsigned x = 0, y = 0;
        if (std::sscanf(line, "move %u %u", &x, &y) == 2)
            wl_proxy_marshal(pointer, motionAbsolute, now(), x, y, width, height);
        else if (!std::strncmp(line, "press", 5))
            wl_proxy_marshal(pointer, button, now(), leftButton, 1u);
        else if (!std::strncmp(line, "release", 7))
            wl_proxy_marshal(pointer, button, now(), leftButton, 0u);
        else
            continue;
        wl_proxy_marshal(pointer, frame);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        std::printf("ok\n");
        std::fflush(stdout);
    }
    wl_display_disconnect(display);
    return 0;
}
