#include "hotkeys/HotKeyCenter.h"

#include "hotkeys/Shortcut.h"

namespace shotlark {

HotKeyCenter::HotKeyCenter(platform::GlobalHotkeys& backend) : backend_(backend) {
    connect(&backend_, &platform::GlobalHotkeys::pressed, this, &HotKeyCenter::pressed);
    connect(&backend_, &platform::GlobalHotkeys::refused, this, &HotKeyCenter::refused);
}

HotKeyCenter::~HotKeyCenter() {
    unregisterAll();
}

bool HotKeyCenter::registerHotKey(quint32 keyCode, quint32 modifiers, std::function<void()> handler,
                                  const QString& name, const QString& title,
                                  std::function<void()> refused) {
    const quint32 id = nextID_++;
    const Qt::Key key = qtKeyForMacKeyCode(keyCode);
    if (key == Qt::Key_unknown ||
        !backend_.grab(id, key, Shortcut{keyCode, modifiers, {}}.qtModifiers(), name, title))
        return false;
    refs_.append(id);
    handlers_.insert(id, std::move(handler));
    if (refused)
        refusals_.insert(id, std::move(refused));
    return true;
}

void HotKeyCenter::unregisterAll() {
    for (quint32 id : refs_)
        backend_.ungrab(id);
    refs_.clear();
    handlers_.clear();
    refusals_.clear();
}

void HotKeyCenter::refused(quint32 id) {
    if (!refs_.removeOne(id))
        return;
    handlers_.remove(id);
    if (const auto refusal = refusals_.take(id))
        refusal();
}

void HotKeyCenter::pressed(quint32 id) {
    // A press queued before an unregister finds nothing and does nothing.
    if (const auto handler = handlers_.value(id))
        handler();
}

} // namespace shotlark
