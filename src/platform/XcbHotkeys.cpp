#include "platform/LinuxBackends.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHash>
#include <QKeyEvent>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>

namespace shotlark::platform {

namespace {

// The lock keys' modifier bits, grabbed in every combination so NumLock or CapsLock being on
// doesn't hide a shortcut.
constexpr uint16_t numLock = XCB_MOD_MASK_2;
constexpr uint16_t lockVariants[] = {0, XCB_MOD_MASK_LOCK, numLock, XCB_MOD_MASK_LOCK | numLock};
constexpr uint16_t relevantMods =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

struct SpecialKey {
    int qt;
    xcb_keysym_t keysym;
};
constexpr SpecialKey specialKeys[] = {
    {Qt::Key_Return, XK_Return}, {Qt::Key_Tab, XK_Tab},
    {Qt::Key_Space, XK_space},   {Qt::Key_Backspace, XK_BackSpace},
    {Qt::Key_Escape, XK_Escape}, {Qt::Key_Delete, XK_Delete},
    {Qt::Key_Home, XK_Home},     {Qt::Key_End, XK_End},
    {Qt::Key_PageUp, XK_Prior},  {Qt::Key_PageDown, XK_Next},
    {Qt::Key_Left, XK_Left},     {Qt::Key_Right, XK_Right},
    {Qt::Key_Up, XK_Up},         {Qt::Key_Down, XK_Down},
};

xcb_keysym_t keysymFor(int qtKey) {
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return XK_F1 + static_cast<xcb_keysym_t>(qtKey - Qt::Key_F1);
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return XK_a + static_cast<xcb_keysym_t>(qtKey - Qt::Key_A);
    if (qtKey > 0x20 && qtKey < 0x7f) // digits and punctuation: Latin-1 keysyms are the characters
        return static_cast<xcb_keysym_t>(qtKey);
    for (const SpecialKey& special : specialKeys) {
        if (special.qt == qtKey)
            return special.keysym;
    }
    return XCB_NO_SYMBOL;
}

std::optional<int> qtKeyFor(xcb_keysym_t keysym) {
    if (keysym >= XK_F1 && keysym <= XK_F35)
        return Qt::Key_F1 + static_cast<int>(keysym - XK_F1);
    if (keysym >= XK_a && keysym <= XK_z)
        return Qt::Key_A + static_cast<int>(keysym - XK_a);
    if (keysym > 0x20 && keysym < 0x7f)
        return static_cast<int>(keysym);
    for (const SpecialKey& special : specialKeys) {
        if (special.keysym == keysym)
            return special.qt;
    }
    return std::nullopt;
}

uint16_t xcbModifiers(Qt::KeyboardModifiers modifiers) {
    uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

} // namespace

int unshiftedUsKey(int key) {
    static const QHash<int, int> shifted = {
        {'!', '1'},  {'@', '2'}, {'#', '3'},  {'$', '4'}, {'%', '5'}, {'^', '6'}, {'&', '7'},
        {'*', '8'},  {'(', '9'}, {')', '0'},  {'_', '-'}, {'+', '='}, {'{', '['}, {'}', ']'},
        {'|', '\\'}, {':', ';'}, {'"', '\''}, {'<', ','}, {'>', '.'}, {'?', '/'}, {'~', '`'},
    };
    return shifted.value(key, key);
}

std::optional<int> NoGlobalHotkeys::unmodifiedKey(const QKeyEvent& event) const {
    if (event.key() == 0 || event.key() == Qt::Key_unknown)
        return std::nullopt;
    return unshiftedUsKey(event.key());
}

struct XcbHotkeys::Impl : QAbstractNativeEventFilter {
    XcbHotkeys* owner = nullptr;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_key_symbols_t* symbols = nullptr;
    struct Grab {
        xcb_keycode_t keycode;
        uint16_t modifiers;
    };
    QHash<quint32, Grab> grabs;
    QHash<xcb_keycode_t, xcb_timestamp_t> lastRelease;

    void ungrabKeys(const Grab& grab, int variants) {
        for (int i = 0; i < variants; ++i)
            xcb_ungrab_key(connection, grab.keycode, root, grab.modifiers | lockVariants[i]);
        xcb_flush(connection);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const uint8_t kind = event->response_type & ~0x80;
        if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE)
            return false;
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
        if (key->event != root)
            return false;
        if (kind == XCB_KEY_RELEASE) {
            lastRelease.insert(key->detail, key->time);
            return true;
        }
        // Auto-repeat arrives as a release and a press with the same time: one action per press.
        if (lastRelease.value(key->detail, XCB_CURRENT_TIME) == key->time &&
            key->time != XCB_CURRENT_TIME)
            return true;
        const uint16_t modifiers = key->state & relevantMods;
        for (auto it = grabs.constBegin(); it != grabs.constEnd(); ++it) {
            if (it->keycode == key->detail && it->modifiers == modifiers) {
                // Delivered from the event loop, never from inside the filter.
                QMetaObject::invokeMethod(
                    owner, [owner = owner, id = it.key()] { Q_EMIT owner->pressed(id); },
                    Qt::QueuedConnection);
                return true;
            }
        }
        return false;
    }
};

XcbHotkeys::XcbHotkeys() : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    // In a Wayland session X grabs only see keys while an X window has focus: don't pretend.
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland") ||
        qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return;
    impl_->connection = x11->connection();
    const xcb_setup_t* setup = xcb_get_setup(impl_->connection);
    impl_->root = xcb_setup_roots_iterator(setup).data->root;
    impl_->symbols = xcb_key_symbols_alloc(impl_->connection);
    QCoreApplication::instance()->installNativeEventFilter(impl_.get());
}

XcbHotkeys::~XcbHotkeys() {
    if (!impl_->connection)
        return;
    QCoreApplication::instance()->removeNativeEventFilter(impl_.get());
    for (const Impl::Grab& grab : impl_->grabs)
        impl_->ungrabKeys(grab, 4);
    xcb_key_symbols_free(impl_->symbols);
}

bool XcbHotkeys::isAvailable() const {
    return impl_->connection != nullptr;
}

bool XcbHotkeys::grab(quint32 id, int qtKey, Qt::KeyboardModifiers modifiers, const QString&,
                      const QString&) {
    if (!impl_->connection)
        return false;
    const xcb_keysym_t keysym = keysymFor(qtKey);
    xcb_keycode_t* keycodes =
        keysym == XCB_NO_SYMBOL ? nullptr : xcb_key_symbols_get_keycode(impl_->symbols, keysym);
    if (!keycodes)
        return false;
    const Impl::Grab wanted{keycodes[0], xcbModifiers(modifiers)};
    std::free(keycodes);
    if (wanted.keycode == XCB_NO_SYMBOL)
        return false;
    // Checked requests: another client's grab answers BadAccess here, not later.
    for (int i = 0; i < 4; ++i) {
        const xcb_void_cookie_t cookie = xcb_grab_key_checked(
            impl_->connection, 1, impl_->root, wanted.modifiers | lockVariants[i], wanted.keycode,
            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* error = xcb_request_check(impl_->connection, cookie)) {
            std::free(error);
            impl_->ungrabKeys(wanted, i);
            return false;
        }
    }
    impl_->grabs.insert(id, wanted);
    return true;
}

void XcbHotkeys::ungrab(quint32 id) {
    const auto found = impl_->grabs.constFind(id);
    if (found == impl_->grabs.constEnd())
        return;
    impl_->ungrabKeys(*found, 4);
    impl_->grabs.erase(found);
}

std::optional<int> XcbHotkeys::unmodifiedKey(const QKeyEvent& event) const {
    if (!impl_->connection || event.nativeScanCode() == 0)
        return NoGlobalHotkeys().unmodifiedKey(event);
    const xcb_keysym_t keysym = xcb_key_symbols_get_keysym(
        impl_->symbols, static_cast<xcb_keycode_t>(event.nativeScanCode()), 0);
    return qtKeyFor(keysym);
}

} // namespace shotlark::platform
