#pragma once

#include "hotkeys/HotkeyAction.h"
#include "store/History.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace shotlark {

// One line of the status menu, as plain data: the tray renders it, tests read it.
struct MenuItem {
    enum class Kind { Action, Separator, Submenu };
    Kind kind = Kind::Action;
    QString title;
    bool enabled = true;
    QString keyHint; // a key sequence as Qt writes it, e.g. "Ctrl+Q"; shown only
    QString toolTip;
    QString iconName;              // a freedesktop icon name, or empty
    std::function<void()> trigger; // none for disabled lines
    QList<MenuItem> children;

    // The title as Qt's menus and buttons take it, where '&' would mark a shortcut letter
    // ("Capture Region & Annotate", a file named "Tom & Jerry.png").
    QString widgetText() const {
        QString text = title;
        return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    }

    static MenuItem separator() {
        MenuItem item;
        item.kind = Kind::Separator;
        return item;
    }
};

// What the menu is built from, read when it is about to open.
struct MenuState {
    bool configured = false;
    QString server; // stored form
    std::optional<QString> username;
    qint64 activeUploads = 0;
    QList<HistoryEntry> history;
    bool recording = false;
    bool recordingGIF = false;
    QString recordingDuration; // "0:42"
    bool replayRunning = false;
    QStringList failedUploads;              // kept files, newest first
    std::optional<QString> availableUpdate; // the version found by the last update check
    // Imported upload servers (id, name), and the id of the one uploads go to ("": ours).
    QList<std::pair<QString, QString>> destinations;
    QString destination;
    std::function<bool(const QString& feature)> isEnabled = [](const QString&) {
        return true;
    };
    std::function<std::optional<Shortcut>(HotkeyAction)> shortcut = [](HotkeyAction) {
        return std::optional<Shortcut>();
    };
};

struct MenuActions {
    std::function<void()> uploadClipboard, pickFiles, openDashboard, openSettings, clearHistory,
        quit;
    std::function<void()> captureRegion, captureWindow, captureScreen, copyText;
    std::function<void()> copyRegion, saveRegion; // the picture itself, nothing uploaded
    std::function<void()> annotateRegion;         // marked up, then as the editor says
    std::function<void()> toggleRecording, recordGIF, stopRecording;
    std::function<void()> toggleReplay, saveReplay;
    std::function<void()> checkForUpdates, installUpdate;
    std::function<void(const HistoryEntry&)> copyEntry, openEntry, deleteEntry;
    std::function<void(const QString& id)> chooseDestination; // "": the Shotlark server
    std::function<void(const QString& id)> annotateEntry;
    std::function<void(const QStringList& files)> retryUploads;
    std::function<void(const QString& file)> showInFolder;
};

QList<MenuItem> buildMenu(const MenuState& state, const MenuActions& actions);

// Finds an item by its title path, e.g. {"Recent Uploads", "a.png", "Copy Link"}.
const MenuItem* findItem(const QList<MenuItem>& menu, const QStringList& path);

} // namespace shotlark
