#include "hotkeys/HotKeyCenter.h"

#include "hotkeys/Shortcut.h"

namespace shotlark {

HotKeyCenter::HotKeyCenter(platform::GlobalHotkeys& backend) : backend_(backend) {
    connect(&backend_, &platform::GlobalHotkeys::pressed, this, &HotKeyCenter::pressed);
}

HotKeyCenter::~HotKeyCenter() {
    unregisterAll();
}

bool HotKeyCenter::registerHotKey(quint32 keyCode, quint32 modifiers,
                                  std::function<void()> handler) {
    const quint32 id = nextID_++;
    const Qt::Key key = qtKeyForMacKeyCode(keyCode);
    if (key == Qt::Key_unknown ||
        !backend_.grab(id, key, Shortcut{keyCode, modifiers, {}}.qtModifiers()))
        return false;
    refs_.append(id);
    handlers_.insert(id, std::move(handler));
    return true;
}

void HotKeyCenter::unregisterAll() {
    for (quint32 id : refs_)
        backend_.ungrab(id);
    refs_.clear();
    handlers_.clear();
}

void HotKeyCenter::pressed(quint32 id) {
    // A press queued before an unregister finds nothing and does nothing.
    if (const auto handler = handlers_.value(id))
        handler();
}

} // namespace shotlark
