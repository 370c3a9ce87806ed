// Global shortcuts: registering every action's, reporting the ones that are taken (at once, or
// later when the desktop binds them itself), and running an action when one is pressed.
#include "app/AppDelegate.h"

#include "app/Notifier.h"
#include "hotkeys/HotKeyCenter.h"
#include "hotkeys/HotkeyState.h"

#include <QPointer>
#include <QTimer>

namespace shotlark {

void AppDelegate::registerHotKeys() {
    HotkeyState& state = HotkeyState::shared();
    QPointer<AppDelegate> self(this);
    state.reload = [self] {
        return self ? self->reloadHotKeys() : QSet<HotkeyAction>();
    };
    state.suspend = [self] {
        if (self)
            self->hotKeyCenter_->unregisterAll();
    };
    state.grabsAvailable = hotKeyCenter_->isAvailable();
    state.failed = reloadHotKeys();
    reportTakenHotKeys(state.failed);
}

void AppDelegate::reportTakenHotKeys(const QSet<HotkeyAction>& failed) {
    if (failed.isEmpty())
        return;
    QStringList taken;
    for (HotkeyAction action : hotkeys::allCases()) {
        if (!failed.contains(action))
            continue;
        if (const auto shortcut = hotkeys::shortcut(action))
            taken.append(shortcut->display());
    }
    notifier_->notify(
        QStringLiteral("Some hotkeys are taken"),
        taken.join(QStringLiteral(", ")) +
            QStringLiteral(" is used by another app. Pick different ones in Settings."));
}

void AppDelegate::hotKeyRefusedLater(HotkeyAction action) {
    // A desktop answers for all its bindings at once: one notification for them.
    if (lateRefusals_.isEmpty()) {
        QPointer<AppDelegate> self(this);
        QTimer::singleShot(0, this, [self] {
            if (!self)
                return;
            const QSet<HotkeyAction> refused = std::exchange(self->lateRefusals_, {});
            HotkeyState::shared().failed.unite(refused);
            HotkeyState::shared().bumpRevision();
            self->reportTakenHotKeys(refused);
        });
    }
    lateRefusals_.insert(action);
}

QSet<HotkeyAction> AppDelegate::reloadHotKeys() {
    hotKeyCenter_->unregisterAll();
    QSet<HotkeyAction> failed;
    // Where grabs can't work (Wayland) nothing is registered, and nothing counts as taken.
    if (!hotKeyCenter_->isAvailable())
        return failed;
    QPointer<AppDelegate> self(this);
    for (HotkeyAction action : hotkeys::allCases()) {
        const auto shortcut = hotkeys::shortcut(action);
        if (!shortcut)
            continue;
        const bool registered = hotKeyCenter_->registerHotKey(
            shortcut->keyCode, shortcut->modifiers,
            [self, action] {
                if (self)
                    self->perform(action);
            },
            hotkeys::rawValue(action), hotkeys::title(action),
            [self, action] {
                if (self)
                    self->hotKeyRefusedLater(action);
            });
        if (!registered)
            failed.insert(action);
    }
    return failed;
}

void AppDelegate::perform(HotkeyAction action) {
    if (!hotkeys::isAvailable(action)) {
        notifier_->notify(QStringLiteral("Turned off"),
                          hotkeys::title(action) +
                              QStringLiteral(" is switched off on this server."));
        return;
    }
    switch (action) {
    case HotkeyAction::record:
        toggleRecording(false);
        break;
    case HotkeyAction::gif:
        toggleRecording(true);
        break;
    case HotkeyAction::region:
        capture(CaptureMode::region);
        break;
    case HotkeyAction::annotate:
        markUp(CaptureMode::region);
        break;
    case HotkeyAction::window:
        capture(CaptureMode::window);
        break;
    case HotkeyAction::screen:
        capture(CaptureMode::screen);
        break;
    case HotkeyAction::clipboard:
        uploadClipboard();
        break;
    case HotkeyAction::ocr:
        copyText();
        break;
    case HotkeyAction::replay:
        saveReplay();
        break;
    }
}

} // namespace shotlark
