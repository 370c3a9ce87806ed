#include "app/MenuModel.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace shotlark;

namespace {

QStringList titles(const QList<MenuItem>& items) {
    QStringList out;
    for (const MenuItem& item : items)
        out.append(item.kind == MenuItem::Kind::Separator ? QStringLiteral("---") : item.title);
    return out;
}

HistoryEntry entry(const QString& name, std::optional<QString> id = QStringLiteral("id1")) {
    return HistoryEntry{id, name, QStringLiteral("https://m.example/u/") + name,
                        QStringLiteral("https://m.example/d/") + name, 1.0};
}

struct Recorder {
    QStringList calls;
    MenuActions actions;
    std::function<void()> record(const char* name) {
        return [this, name] {
            calls << QLatin1String(name);
        };
    }
    Recorder() {
        actions.uploadClipboard = record("clipboard");
        actions.pickFiles = record("pick");
        actions.captureRegion = record("region");
        actions.captureWindow = record("window");
        actions.captureScreen = record("screen");
        actions.copyText = record("ocr");
        actions.openDashboard = record("dashboard");
        actions.openSettings = record("settings");
        actions.clearHistory = record("clear");
        actions.quit = record("quit");
        actions.toggleRecording = record("record");
        actions.recordGIF = record("gif");
        actions.stopRecording = record("stop");
        actions.checkForUpdates = record("check");
        actions.installUpdate = record("install");
        actions.copyEntry = [this](const HistoryEntry& e) {
            calls << QStringLiteral("copy ") + e.url;
        };
        actions.openEntry = [this](const HistoryEntry& e) {
            calls << QStringLiteral("open ") + e.url;
        };
        actions.deleteEntry = [this](const HistoryEntry& e) {
            calls << QStringLiteral("delete ") + e.deletionURL;
        };
        actions.annotateEntry = [this](const QString& id) {
            calls << QStringLiteral("annotate ") + id;
        };
    }
};

} // namespace

TEST(MenuModel, RecentUploadsListFifteenEntriesWithTheirActions) {
    Recorder recorder;
    MenuState state;
    for (int i = 0; i < 15; ++i)
        state.history.append(entry(QStringLiteral("shot%1.png").arg(i)));
    const auto menu = buildMenu(state, recorder.actions);
    const MenuItem* recent = findItem(menu, {QStringLiteral("Recent Uploads")});
    ASSERT_EQ(recent->children.size(), 17);
    EXPECT_EQ(recent->children[15].kind, MenuItem::Kind::Separator);
    EXPECT_EQ(recent->children[16].title, QStringLiteral("Clear History"));
    const MenuItem& first = recent->children[0];
    EXPECT_EQ(first.title, QStringLiteral("shot0.png"));
    EXPECT_EQ(first.toolTip, QStringLiteral("https://m.example/u/shot0.png"));
    EXPECT_EQ(titles(first.children),
              (QStringList{QStringLiteral("Copy Link"), QStringLiteral("Open in Browser"),
                           QStringLiteral("Annotate\u2026"), QStringLiteral("---"),
                           QStringLiteral("Delete from Server")}));
    for (const MenuItem& item : first.children) {
        if (item.trigger)
            item.trigger();
    }
    recent->children[16].trigger();
    EXPECT_EQ(recorder.calls, (QStringList{QStringLiteral("copy https://m.example/u/shot0.png"),
                                           QStringLiteral("open https://m.example/u/shot0.png"),
                                           QStringLiteral("annotate id1"),
                                           QStringLiteral("delete https://m.example/d/shot0.png"),
                                           QStringLiteral("clear")}));
}

TEST(MenuModel, RecordingItemsFollowTheRecording) {
    Recorder recorder;
    MenuState state;
    state.shortcut = [](HotkeyAction action) {
        return std::optional(hotkeys::defaultShortcut(action));
    };
    state.isEnabled = [](const QString& feature) {
        return feature != QStringLiteral("app_gif");
    };
    auto menu = buildMenu(state, recorder.actions);
    EXPECT_TRUE(findItem(menu, {QStringLiteral("Record Screen")}));
    EXPECT_FALSE(findItem(menu, {QStringLiteral("Record GIF")})) << "gated by app_gif";

    // A GIF recording: one stop item with the elapsed time and the GIF hotkey, nothing else.
    state.isEnabled = [](const QString&) {
        return true;
    };
    state.recording = true;
    state.recordingGIF = true;
    state.recordingDuration = QStringLiteral("1:05");
    menu = buildMenu(state, recorder.actions);
    const MenuItem* stop = findItem(menu, {QStringLiteral("Stop Recording (1:05)")});
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->keyHint, hotkeys::defaultShortcut(HotkeyAction::gif).display());
    EXPECT_FALSE(findItem(menu, {QStringLiteral("Record Screen")}));
    EXPECT_FALSE(findItem(menu, {QStringLiteral("Record GIF")}));
    stop->trigger();
    EXPECT_EQ(recorder.calls, QStringList{QStringLiteral("stop")});
}
