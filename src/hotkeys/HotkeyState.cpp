#include "hotkeys/HotkeyState.h"

namespace shotlark {

HotkeyState& HotkeyState::shared() {
    static auto* state = new HotkeyState();
    return *state;
}

void HotkeyState::reloadAndRefresh() {
    failed = reload();
    bumpRevision();
}

void HotkeyState::bumpRevision() {
    ++revision;
    Q_EMIT changed();
}

} // namespace shotlark
