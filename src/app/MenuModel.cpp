#include "app/MenuModel.h"

#include "server/ServerInfo.h"

#include <QFileInfo>
#include <QUrl>

namespace shotlark {

namespace {

MenuItem action(const QString& title, std::function<void()> trigger,
                const QString& keyHint = QString()) {
    MenuItem item;
    item.title = title;
    item.trigger = std::move(trigger);
    item.keyHint = keyHint;
    return item;
}

MenuItem disabled(const QString& title) {
    MenuItem item;
    item.title = title;
    item.enabled = false;
    return item;
}

// An item started by a hotkey too: a single-character key is shown as the item's key hint,
// a longer one (F5, Space) in its title.
MenuItem hotkeyItem(const MenuState& state, const QString& title, HotkeyAction hotkey,
                    std::function<void()> trigger) {
    MenuItem item = action(title, std::move(trigger));
    if (const auto shortcut = state.shortcut(hotkey)) {
        if (shortcut->key.size() == 1)
            item.keyHint = shortcut->display();
        else
            item.title += QStringLiteral("  (") + shortcut->display() + QLatin1Char(')');
    }
    return item;
}

QString header(const MenuState& state) {
    const QUrl server(state.server);
    if (!state.configured || !server.isValid() || server.host().isEmpty())
        return QStringLiteral("Not connected");
    return state.username ? *state.username + QStringLiteral(" @ ") + server.host() : server.host();
}

bool canAnnotate(const HistoryEntry& entry) {
    static const QStringList images = {QStringLiteral("png"), QStringLiteral("jpg"),
                                       QStringLiteral("jpeg"), QStringLiteral("webp"),
                                       QStringLiteral("gif")};
    return entry.id.has_value() && images.contains(QFileInfo(entry.name).suffix().toLower());
}

// Where uploads go: the Shotlark server or an imported one; the current one is checked.
MenuItem uploadTo(const MenuState& state, const MenuActions& actions) {
    MenuItem to;
    to.kind = MenuItem::Kind::Submenu;
    to.title = QStringLiteral("Upload To");
    const auto choice = [&](const QString& id, const QString& name) {
        MenuItem item = action(
            (id == state.destination ? QStringLiteral("\u2713 ") : QStringLiteral("    ")) + name,
            [&actions, id] { actions.chooseDestination(id); });
        return item;
    };
    MenuItem ours =
        choice(QString(), state.server.isEmpty()
                              ? QStringLiteral("Shotlark Server")
                              : QStringLiteral("Shotlark Server (%1)").arg(state.server));
    ours.enabled = state.configured;
    to.children.append(ours);
    for (const auto& [id, name] : state.destinations)
        to.children.append(choice(id, name));
    return to;
}

MenuItem recentUploads(const MenuState& state, const MenuActions& actions) {
    MenuItem recent;
    recent.kind = MenuItem::Kind::Submenu;
    recent.title = QStringLiteral("Recent Uploads");
    for (const HistoryEntry& entry : state.history) {
        MenuItem item;
        item.kind = MenuItem::Kind::Submenu;
        item.title = entry.name;
        item.toolTip = entry.url;
        item.children.append(
            action(QStringLiteral("Copy Link"), [&actions, entry] { actions.copyEntry(entry); }));
        item.children.append(action(QStringLiteral("Open in Browser"),
                                    [&actions, entry] { actions.openEntry(entry); }));
        if (state.isEnabled(features::annotate) && canAnnotate(entry)) {
            item.children.append(action(QStringLiteral("Annotate\u2026"),
                                        [&actions, id = *entry.id] { actions.annotateEntry(id); }));
        }
        // Only where the server gave a way to delete (upload servers besides ours may not).
        if (!entry.deletionURL.isEmpty()) {
            item.children.append(MenuItem::separator());
            item.children.append(action(QStringLiteral("Delete from Server"),
                                        [&actions, entry] { actions.deleteEntry(entry); }));
        }
        recent.children.append(std::move(item));
    }
    if (state.history.isEmpty()) {
        recent.children.append(disabled(QStringLiteral("Nothing yet")));
    } else {
        recent.children.append(MenuItem::separator());
        recent.children.append(action(QStringLiteral("Clear History"), actions.clearHistory));
    }
    return recent;
}

// What didn't reach the server, to send again: the newest few, and all at once.
MenuItem failedUploads(const MenuState& state, const MenuActions& actions) {
    constexpr qsizetype shown = 5;
    MenuItem failed;
    failed.kind = MenuItem::Kind::Submenu;
    failed.title = QStringLiteral("Failed Uploads");
    for (const QString& file : state.failedUploads.mid(0, shown)) {
        MenuItem item;
        item.kind = MenuItem::Kind::Submenu;
        item.title = QFileInfo(file).fileName();
        item.toolTip = file;
        item.children.append(
            action(QStringLiteral("Retry"), [&actions, file] { actions.retryUploads({file}); }));
        item.children.append(action(QStringLiteral("Show in Folder"),
                                    [&actions, file] { actions.showInFolder(file); }));
        failed.children.append(std::move(item));
    }
    failed.children.append(MenuItem::separator());
    failed.children.append(
        action(state.failedUploads.size() > shown
                   ? QStringLiteral("Retry All %1").arg(state.failedUploads.size())
                   : QStringLiteral("Retry All"),
               [&actions, files = state.failedUploads] { actions.retryUploads(files); }));
    return failed;
}

} // namespace

QList<MenuItem> buildMenu(const MenuState& state, const MenuActions& actions) {
    QList<MenuItem> menu;
    menu.append(disabled(header(state)));
    if (state.replayRunning) // it records the screen: never without a visible sign
        menu.append(disabled(QStringLiteral("\u25cf Replay buffer on")));
    if (state.activeUploads > 0)
        menu.append(
            disabled(QStringLiteral("Uploading %1 file(s)\u2026").arg(state.activeUploads)));
    if (state.availableUpdate) {
        MenuItem update =
            action(QStringLiteral("Update to ") + *state.availableUpdate + QStringLiteral("\u2026"),
                   actions.installUpdate);
        update.iconName = QStringLiteral("software-update-available");
        menu.append(update);
    }
    menu.append(MenuItem::separator());
    if (state.recording) {
        menu.append(hotkeyItem(
            state, QStringLiteral("Stop Recording (") + state.recordingDuration + QLatin1Char(')'),
            state.recordingGIF ? HotkeyAction::gif : HotkeyAction::record, actions.stopRecording));
    } else {
        menu.append(hotkeyItem(state, QStringLiteral("Record Screen"), HotkeyAction::record,
                               actions.toggleRecording));
        if (state.isEnabled(features::appGif))
            menu.append(hotkeyItem(state, QStringLiteral("Record GIF"), HotkeyAction::gif,
                                   actions.recordGIF));
    }
    menu.append(hotkeyItem(state, QStringLiteral("Capture Region"), HotkeyAction::region,
                           actions.captureRegion));
    menu.append(hotkeyItem(state, QStringLiteral("Capture Region & Annotate"),
                           HotkeyAction::annotate, actions.annotateRegion));
    menu.append(hotkeyItem(state, QStringLiteral("Capture Window"), HotkeyAction::window,
                           actions.captureWindow));
    menu.append(hotkeyItem(state, QStringLiteral("Capture Screen"), HotkeyAction::screen,
                           actions.captureScreen));
    menu.append(action(QStringLiteral("Copy Region to Clipboard"), actions.copyRegion));
    menu.append(action(QStringLiteral("Save Region\u2026"), actions.saveRegion));
    if (state.isEnabled(features::appOcr))
        menu.append(hotkeyItem(state, QStringLiteral("Copy Text from Region"), HotkeyAction::ocr,
                               actions.copyText));
    if (state.isEnabled(features::replayBuffer)) {
        if (state.replayRunning) {
            menu.append(hotkeyItem(state, QStringLiteral("Save Replay (last 30s)"),
                                   HotkeyAction::replay, actions.saveReplay));
            menu.append(action(QStringLiteral("Stop Replay Buffer"), actions.toggleReplay));
        } else {
            menu.append(action(QStringLiteral("Start Replay Buffer"), actions.toggleReplay));
        }
    }
    menu.append(hotkeyItem(state, QStringLiteral("Upload Clipboard"), HotkeyAction::clipboard,
                           actions.uploadClipboard));
    menu.append(action(QStringLiteral("Upload Files\u2026"), actions.pickFiles));
    if (!state.destinations.isEmpty())
        menu.append(uploadTo(state, actions));
    menu.append(MenuItem::separator());
    menu.append(recentUploads(state, actions));
    if (!state.failedUploads.isEmpty())
        menu.append(failedUploads(state, actions));
    MenuItem dashboard = action(QStringLiteral("Open Dashboard"), actions.openDashboard);
    dashboard.enabled = state.configured;
    menu.append(dashboard);
    menu.append(MenuItem::separator());
    if (state.isEnabled(features::autoUpdate))
        menu.append(action(QStringLiteral("Check for Updates\u2026"), actions.checkForUpdates));
    menu.append(
        action(QStringLiteral("Settings\u2026"), actions.openSettings, QStringLiteral("Ctrl+,")));
    menu.append(action(QStringLiteral("Quit"), actions.quit, QStringLiteral("Ctrl+Q")));
    return menu;
}

const MenuItem* findItem(const QList<MenuItem>& menu, const QStringList& path) {
    const QList<MenuItem>* level = &menu;
    const MenuItem* found = nullptr;
    for (const QString& title : path) {
        found = nullptr;
        for (const MenuItem& item : *level) {
            if (item.kind != MenuItem::Kind::Separator && item.title == title) {
                found = &item;
                break;
            }
        }
        if (!found)
            return nullptr;
        level = &found->children;
    }
    return found;
}

} // namespace shotlark
