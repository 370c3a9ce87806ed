#pragma once

#include "hotkeys/HotkeyAction.h"

#include <QObject>
#include <QSet>

#include <functional>

namespace shotlark {

// What the shortcut fields share: which actions' registration was refused, a revision that
// makes every field read its shortcut afresh, and the app's reload and suspend operations.
class HotkeyState : public QObject {
    Q_OBJECT
public:
    static HotkeyState& shared();

    QSet<HotkeyAction> failed;
    int revision = 0;
    std::function<QSet<HotkeyAction>()> reload = [] {
        return QSet<HotkeyAction>();
    };
    std::function<void()> suspend = [] {
    };
    // Whether global shortcuts work on this desktop at all (not on Wayland without the
    // GlobalShortcuts portal).
    bool grabsAvailable = true;

    // failed = reload(), revision + 1, and tell the fields.
    void reloadAndRefresh();
    void bumpRevision();

Q_SIGNALS:
    void changed();
};

} // namespace shotlark
