#include "platform/wayland/FocusClipboard.h"

#include "platform/wayland/ClipboardPipes.h"

#include <QElapsedTimer>
#include <QHash>
#include <qcoro/qcorotimer.h>

#include <chrono>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace shotlark::platform::wayland {

namespace {

// xdg-shell (stable), version 1: the parts used here, as wayland-scanner would write them.
extern const wl_interface xdgSurfaceInterface;
extern const wl_interface xdgToplevelInterface;

const wl_interface* none[] = {nullptr, nullptr, nullptr, nullptr};
const wl_interface* getSurfaceTypes[] = {&xdgSurfaceInterface, &wl_surface_interface};
const wl_interface* toplevelType[] = {&xdgToplevelInterface};

const wl_message wmBaseRequests[] = {
    {"destroy", "", nullptr},
    {"create_positioner", "n", none},
    {"get_xdg_surface", "no", getSurfaceTypes},
    {"pong", "u", none},
};
const wl_message wmBaseEvents[] = {{"ping", "u", none}};
const wl_interface wmBaseInterface = {"xdg_wm_base", 1, 4, wmBaseRequests, 1, wmBaseEvents};

const wl_message xdgSurfaceRequests[] = {
    {"destroy", "", nullptr},     {"get_toplevel", "n", toplevelType},
    {"get_popup", "n?oo", none},  {"set_window_geometry", "iiii", none},
    {"ack_configure", "u", none},
};
const wl_message xdgSurfaceEvents[] = {{"configure", "u", none}};
const wl_interface xdgSurfaceInterface = {"xdg_surface",      1, 5,
                                          xdgSurfaceRequests, 1, xdgSurfaceEvents};

const wl_message toplevelRequests[] = {
    {"destroy", "", nullptr},
    {"set_parent", "?o", toplevelType},
    {"set_title", "s", none},
    {"set_app_id", "s", none},
};
const wl_message toplevelEvents[] = {
    {"configure", "iia", none},
    {"close", "", nullptr},
};
const wl_interface xdgToplevelInterface = {"xdg_toplevel",   1, 4,
                                           toplevelRequests, 2, toplevelEvents};

enum : uint32_t {
    destroyRequest = 0, // wm base, xdg surface and toplevel alike
    getXdgSurface = 2,
    pong = 3,
    getToplevel = 1,
    ackConfigure = 4,
    setTitle = 2,
    setAppId = 3,
};
constexpr uint32_t activatedState = 4;

// How long a desktop may take to give a new window the focus; one that gives it does at once.
constexpr qint64 focusLimitMs = 1500;

void destroyXdg(wl_proxy* proxy) {
    if (!proxy)
        return;
    wl_proxy_marshal(proxy, destroyRequest);
    wl_proxy_destroy(proxy);
}

// Resumes after a short pause, for the connection's events to come in.
QCoro::Task<> pause() {
    auto waiting = QCoro::sleepFor(std::chrono::milliseconds(10));
    co_await std::move(waiting);
}

} // namespace

struct FocusClipboard::Impl {
    wl_display* display = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    wl_data_device_manager* manager = nullptr;
    wl_data_device* device = nullptr;
    wl_proxy* wmBase = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;

    // The window that takes the focus, while it is up.
    wl_surface* surface = nullptr;
    wl_proxy* xdgSurface = nullptr;
    wl_proxy* toplevel = nullptr;
    wl_buffer* buffer = nullptr;
    bool focused = false;
    uint32_t focusSerial = 0; // of the event that gave it the focus
    bool busy = false;        // one window at a time

    wl_data_source* source = nullptr; // ours, while we own the clipboard
    QByteArray payload;
    wl_data_offer* selection = nullptr;
    QHash<wl_data_offer*, QStringList> offers;

    ~Impl() {
        notifier.reset();
        closeWindow();
        for (wl_data_offer* offer : offers.keys())
            wl_data_offer_destroy(offer);
        if (source)
            wl_data_source_destroy(source);
        if (device)
            wl_data_device_destroy(device);
        if (manager)
            wl_data_device_manager_destroy(manager);
        if (keyboard)
            wl_keyboard_destroy(keyboard);
        if (seat)
            wl_seat_destroy(seat);
        destroyXdg(wmBase);
        if (shm)
            wl_shm_destroy(shm);
        if (compositor)
            wl_compositor_destroy(compositor);
        if (display)
            wl_display_disconnect(display);
    }

    void flush() { wl_display_flush(display); }

    // A 1x1 transparent window, as small as a window gets.
    bool openWindow() {
        const int fd = ::memfd_create("shotlark-focus", MFD_CLOEXEC);
        if (fd < 0)
            return false;
        if (::ftruncate(fd, 4) != 0) {
            ::close(fd);
            return false;
        }
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, 4);
        buffer = wl_shm_pool_create_buffer(pool, 0, 1, 1, 4, WL_SHM_FORMAT_ARGB8888);
        wl_shm_pool_destroy(pool);
        ::close(fd);
        surface = wl_compositor_create_surface(compositor);
        xdgSurface = wl_proxy_marshal_constructor(wmBase, getXdgSurface, &xdgSurfaceInterface,
                                                  nullptr, surface);
        listen(xdgSurface, xdgSurfaceListener, this);
        toplevel =
            wl_proxy_marshal_constructor(xdgSurface, getToplevel, &xdgToplevelInterface, nullptr);
        listen(toplevel, toplevelListener, this);
        wl_proxy_marshal(toplevel, setTitle, "Shotlark");
        wl_proxy_marshal(toplevel, setAppId, "shotlark");
        wl_surface_commit(surface); // the first configure comes before any buffer
        flush();
        return true;
    }

    void closeWindow() {
        destroyXdg(toplevel);
        destroyXdg(xdgSurface);
        if (surface)
            wl_surface_destroy(surface);
        if (buffer)
            wl_buffer_destroy(buffer);
        toplevel = xdgSurface = nullptr;
        surface = nullptr;
        buffer = nullptr;
        focused = false;
        if (display)
            flush();
    }

    void forget(wl_data_offer* offer) {
        if (offer && offers.remove(offer))
            wl_data_offer_destroy(offer);
    }

    static void onPing(void*, wl_proxy* base, uint32_t serial) {
        wl_proxy_marshal(base, pong, serial);
    }
    struct WmBaseListener {
        void (*ping)(void*, wl_proxy*, uint32_t);
    };
    static constexpr WmBaseListener wmBaseListener = {onPing};

    static void onSurfaceConfigure(void* data, wl_proxy* xdg, uint32_t serial) {
        auto* self = static_cast<Impl*>(data);
        wl_proxy_marshal(xdg, ackConfigure, serial);
        wl_surface_attach(self->surface, self->buffer, 0, 0);
        wl_surface_commit(self->surface);
        if (!self->keyboard && self->focused)
            self->focusSerial = serial;
    }
    struct XdgSurfaceListener {
        void (*configure)(void*, wl_proxy*, uint32_t);
    };
    static constexpr XdgSurfaceListener xdgSurfaceListener = {onSurfaceConfigure};

    // Without a keyboard (a desktop run headless), being the active window is the focus.
    static void onToplevelConfigure(void* data, wl_proxy*, int32_t, int32_t, wl_array* states) {
        auto* self = static_cast<Impl*>(data);
        if (self->keyboard)
            return;
        const auto* state = static_cast<const uint32_t*>(states->data);
        bool active = false;
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
            active = active || state[i] == activatedState;
        self->focused = active;
    }
    static void onClose(void*, wl_proxy*) {}
    struct ToplevelListener {
        void (*configure)(void*, wl_proxy*, int32_t, int32_t, wl_array*);
        void (*close)(void*, wl_proxy*);
    };
    static constexpr ToplevelListener toplevelListener = {onToplevelConfigure, onClose};

    static void onKeymap(void*, wl_keyboard*, uint32_t, int32_t fd, uint32_t) { ::close(fd); }
    static void onEnter(void* data, wl_keyboard*, uint32_t serial, wl_surface* entered, wl_array*) {
        auto* self = static_cast<Impl*>(data);
        if (entered && entered == self->surface) {
            self->focused = true;
            self->focusSerial = serial;
        }
    }
    static void onLeave(void* data, wl_keyboard*, uint32_t, wl_surface*) {
        static_cast<Impl*>(data)->focused = false;
    }
    static void onKey(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t) {}
    static void onModifiers(void*, wl_keyboard*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    }
    static void onRepeat(void*, wl_keyboard*, int32_t, int32_t) {}
    static constexpr wl_keyboard_listener keyboardListener = {onKeymap, onEnter,     onLeave,
                                                              onKey,    onModifiers, onRepeat};

    static void onCapabilities(void* data, wl_seat* seat, uint32_t capabilities) {
        auto* self = static_cast<Impl*>(data);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !self->keyboard) {
            self->keyboard = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(self->keyboard, &keyboardListener, self);
        } else if (!(capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && self->keyboard) {
            wl_keyboard_destroy(self->keyboard);
            self->keyboard = nullptr;
        }
    }
    static void onSeatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seatListener = {onCapabilities, onSeatName};

    static void onOfferType(void* data, wl_data_offer* offer, const char* mime) {
        auto* self = static_cast<Impl*>(data);
        if (self->offers.contains(offer))
            self->offers[offer].append(QString::fromUtf8(mime));
    }
    static void onSourceActions(void*, wl_data_offer*, uint32_t) {}
    static void onAction(void*, wl_data_offer*, uint32_t) {}
    static constexpr wl_data_offer_listener offerListener = {onOfferType, onSourceActions,
                                                             onAction};

    static void onDataOffer(void* data, wl_data_device*, wl_data_offer* offer) {
        auto* self = static_cast<Impl*>(data);
        self->offers.insert(offer, {});
        wl_data_offer_add_listener(offer, &offerListener, self);
    }
    // Nothing is dropped on a window nobody sees: drag offers go at once.
    static void onDragEnter(void* data, wl_data_device*, uint32_t, wl_surface*, wl_fixed_t,
                            wl_fixed_t, wl_data_offer* offer) {
        static_cast<Impl*>(data)->forget(offer);
    }
    static void onDragLeave(void*, wl_data_device*) {}
    static void onDragMotion(void*, wl_data_device*, uint32_t, wl_fixed_t, wl_fixed_t) {}
    static void onDrop(void*, wl_data_device*) {}
    static void onSelection(void* data, wl_data_device*, wl_data_offer* offer) {
        auto* self = static_cast<Impl*>(data);
        if (self->selection != offer)
            self->forget(self->selection);
        self->selection = offer;
    }
    static constexpr wl_data_device_listener deviceListener = {
        onDataOffer, onDragEnter, onDragLeave, onDragMotion, onDrop, onSelection};

    static void onTarget(void*, wl_data_source*, const char*) {}
    static void onSend(void* data, wl_data_source* source, const char*, int32_t fd) {
        auto* self = static_cast<Impl*>(data);
        if (source != self->source) {
            ::close(fd);
            return;
        }
        sendDetached(fd, self->payload);
    }
    static void onCancelled(void* data, wl_data_source* source) {
        auto* self = static_cast<Impl*>(data);
        if (source == self->source)
            self->source = nullptr;
        wl_data_source_destroy(source);
    }
    static void onDropPerformed(void*, wl_data_source*) {}
    static void onDndFinished(void*, wl_data_source*) {}
    static void onSourceAction(void*, wl_data_source*, uint32_t) {}
    static constexpr wl_data_source_listener sourceListener = {
        onTarget, onSend, onCancelled, onDropPerformed, onDndFinished, onSourceAction};

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t) {
        auto* self = static_cast<Impl*>(data);
        const auto bind = [&](const wl_interface& type) {
            return wl_registry_bind(registry, name, &type, 1);
        };
        if (!std::strcmp(interface, wl_compositor_interface.name) && !self->compositor)
            self->compositor = static_cast<wl_compositor*>(bind(wl_compositor_interface));
        else if (!std::strcmp(interface, wl_shm_interface.name) && !self->shm)
            self->shm = static_cast<wl_shm*>(bind(wl_shm_interface));
        else if (!std::strcmp(interface, wl_seat_interface.name) && !self->seat)
            self->seat = static_cast<wl_seat*>(bind(wl_seat_interface));
        else if (!std::strcmp(interface, wl_data_device_manager_interface.name) && !self->manager)
            self->manager =
                static_cast<wl_data_device_manager*>(bind(wl_data_device_manager_interface));
        else if (!std::strcmp(interface, wmBaseInterface.name) && !self->wmBase)
            self->wmBase = static_cast<wl_proxy*>(bind(wmBaseInterface));
    }
    static void onGlobalRemove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener registryListener = {onGlobal, onGlobalRemove};
};

std::unique_ptr<FocusClipboard> FocusClipboard::connect() {
    auto impl = std::make_unique<Impl>();
    impl->display = wl_display_connect(nullptr);
    if (!impl->display)
        return nullptr;
    wl_registry* registry = wl_display_get_registry(impl->display);
    wl_registry_add_listener(registry, &Impl::registryListener, impl.get());
    wl_display_roundtrip(impl->display);
    wl_registry_destroy(registry);
    if (!impl->compositor || !impl->shm || !impl->seat || !impl->manager || !impl->wmBase)
        return nullptr;
    listen(impl->wmBase, Impl::wmBaseListener, impl.get());
    wl_seat_add_listener(impl->seat, &Impl::seatListener, impl.get());
    impl->device = wl_data_device_manager_get_data_device(impl->manager, impl->seat);
    wl_data_device_add_listener(impl->device, &Impl::deviceListener, impl.get());
    wl_display_roundtrip(impl->display); // the seat's keyboard
    impl->notifier = serveOnMainLoop(impl->display);
    return std::unique_ptr<FocusClipboard>(new FocusClipboard(std::move(impl)));
}

FocusClipboard::FocusClipboard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

FocusClipboard::~FocusClipboard() = default;

namespace {

// Opens the window and waits for the focus; false when the desktop didn't give it in time (the
// window is closed again then). Windows take turns.
QCoro::Task<bool> takeFocus(FocusClipboard::Impl& d) {
    while (d.busy) {
        auto waiting = pause();
        co_await std::move(waiting);
    }
    d.busy = true;
    if (!d.openWindow()) {
        d.busy = false;
        co_return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (!d.focused && clock.elapsed() < focusLimitMs) {
        auto waiting = pause();
        co_await std::move(waiting);
    }
    if (!d.focused) {
        d.closeWindow();
        d.busy = false;
    }
    co_return d.focused;
}

void giveFocusBack(FocusClipboard::Impl& d) {
    d.closeWindow();
    d.busy = false;
}

// Waits until the compositor has handled everything sent so far (and we its answers).
QCoro::Task<> settle(FocusClipboard::Impl& d) {
    bool done = false;
    wl_callback* sync = wl_display_sync(d.display);
    static constexpr wl_callback_listener listener = {[](void* flag, wl_callback*, uint32_t) {
        *static_cast<bool*>(flag) = true;
    }};
    wl_callback_add_listener(sync, &listener, &done);
    d.flush();
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < focusLimitMs) {
        auto waiting = pause();
        co_await std::move(waiting);
    }
    wl_callback_destroy(sync);
}

} // namespace

QCoro::Task<bool> FocusClipboard::setText(QString text) {
    auto offering = offer(textTypes, text.toUtf8());
    co_return co_await std::move(offering);
}

QCoro::Task<bool> FocusClipboard::setImage(QByteArray png) {
    auto offering = offer({QStringLiteral("image/png")}, png);
    co_return co_await std::move(offering);
}

QCoro::Task<bool> FocusClipboard::offer(QStringList types, QByteArray bytes) {
    Impl& d = *impl_;
    auto focusing = takeFocus(d);
    if (!co_await std::move(focusing))
        co_return false;
    wl_data_source* made = wl_data_device_manager_create_data_source(d.manager);
    wl_data_source_add_listener(made, &Impl::sourceListener, &d);
    for (const QString& type : types)
        wl_data_source_offer(made, type.toUtf8().constData());
    // The old source hears "cancelled" and goes then.
    d.source = made;
    d.payload = bytes;
    wl_data_device_set_selection(d.device, made, d.focusSerial);
    // A compositor that refuses cancels the source at once.
    auto settling = settle(d);
    co_await std::move(settling);
    const bool taken = d.source == made;
    giveFocusBack(d);
    co_return taken;
}

QCoro::Task<std::unique_ptr<QMimeData>> FocusClipboard::contents() {
    Impl& d = *impl_;
    auto focusing = takeFocus(d);
    if (!co_await std::move(focusing))
        co_return std::unique_ptr<QMimeData>();
    // The compositor offers the clipboard along with the focus.
    auto settling = settle(d);
    co_await std::move(settling);
    std::unique_ptr<QMimeData> data;
    if (wl_data_offer* offer = d.selection) {
        auto reading = readOffer(
            d.offers.value(offer),
            [offer](const char* type, int fd) { wl_data_offer_receive(offer, type, fd); },
            [&d] { d.flush(); });
        data = co_await std::move(reading);
    }
    giveFocusBack(d);
    co_return data;
}

} // namespace shotlark::platform::wayland
