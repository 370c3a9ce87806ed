// Input through KWin's fake input protocol, as a keyboard and mouse give it: the compositor handles
// it as its own (global shortcuts included). KWin offers the protocol only to a program its
// desktop file names with X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input.
//   shotlark-test-fakeinput KEY...       presses the keys (Linux input codes) in order, releases
//                                        them in reverse
//   shotlark-test-fakeinput click X Y    the left button at a point of the screen
#include <wayland-client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// org_kde_kwin_fake_input, version 4: the requests up to the keyboard's.
const wl_interface* none[] = {nullptr, nullptr, nullptr};
const wl_message requests[] = {
    {"authenticate", "ss", none},  {"pointer_motion", "ff", none},
    {"button", "uu", none},        {"axis", "uf", none},
    {"touch_down", "2uff", none},  {"touch_motion", "2uff", none},
    {"touch_up", "2u", none},      {"touch_cancel", "2", none},
    {"touch_frame", "2", none},    {"pointer_motion_absolute", "3ff", none},
    {"keyboard_key", "4uu", none},
};
const wl_interface fakeInputInterface = {"org_kde_kwin_fake_input", 4, 11, requests, 0, nullptr};
constexpr uint32_t authenticate = 0, button = 2, pointerMotionAbsolute = 9, keyboardKey = 10;
constexpr uint32_t leftButton = 0x110; // BTN_LEFT

wl_proxy* fakeInput = nullptr;

void global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
    if (!std::strcmp(interface, fakeInputInterface.name) && version >= 4)
        fakeInput =
            static_cast<wl_proxy*>(wl_registry_bind(registry, name, &fakeInputInterface, 4));
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener = {global, globalRemove};

} // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return 2;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (!fakeInput) {
        std::fputs("no org_kde_kwin_fake_input for this program\n", stderr);
        return 3;
    }
    wl_proxy_marshal(fakeInput, authenticate, "shotlark tests", "presses keys");
    if (argc == 4 && !std::strcmp(argv[1], "click")) {
        wl_proxy_marshal(fakeInput, pointerMotionAbsolute, wl_fixed_from_int(std::atoi(argv[2])),
                         wl_fixed_from_int(std::atoi(argv[3])));
        for (uint32_t state : {1u, 0u}) {
            wl_display_roundtrip(display);
            wl_proxy_marshal(fakeInput, button, leftButton, state);
        }
        wl_display_roundtrip(display);
        return 0;
    }
    std::vector<uint32_t> keys;
    for (int i = 1; i < argc; ++i)
        keys.push_back(uint32_t(std::strtoul(argv[i], nullptr, 10)));
    for (uint32_t key : keys) {
        wl_proxy_marshal(fakeInput, keyboardKey, key, 1u);
        wl_display_roundtrip(display);
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        wl_proxy_marshal(fakeInput, keyboardKey, *key, 0u);
        wl_display_roundtrip(display);
    }
    wl_proxy_destroy(fakeInput);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
