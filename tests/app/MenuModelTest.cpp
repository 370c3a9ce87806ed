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

TEST(MenuModel, NotConnectedShowsEverythingButTheDashboard) {
    Recorder recorder;
    MenuState state;
    state.server = QStringLiteral("https://media.example.org");
    const auto menu = buildMenu(state, recorder.actions);
    EXPECT_EQ(
        titles(menu),
        (QStringList{QStringLiteral("Not connected"), QStringLiteral("---"),
                     QStringLiteral("Record Screen"), QStringLiteral("Record GIF"),
                     QStringLiteral("Capture Region"), QStringLiteral("Capture Window"),
                     QStringLiteral("Capture Screen"), QStringLiteral("Copy Text from Region"),
                     QStringLiteral("Start Replay Buffer"), QStringLiteral("Upload Clipboard"),
                     QStringLiteral("Upload Files\u2026"), QStringLiteral("---"),
                     QStringLiteral("Recent Uploads"), QStringLiteral("Open Dashboard"),
                     QStringLiteral("---"), QStringLiteral("Check for Updates\u2026"),
                     QStringLiteral("Settings\u2026"), QStringLiteral("Quit")}));
    EXPECT_FALSE(menu[0].enabled);
    EXPECT_FALSE(findItem(menu, {QStringLiteral("Open Dashboard")})->enabled);
    EXPECT_EQ(findItem(menu, {QStringLiteral("Settings\u2026")})->keyHint,
              QStringLiteral("Ctrl+,"));
    EXPECT_EQ(findItem(menu, {QStringLiteral("Quit")})->keyHint, QStringLiteral("Ctrl+Q"));
    const MenuItem* nothing =
        findItem(menu, {QStringLiteral("Recent Uploads"), QStringLiteral("Nothing yet")});
    ASSERT_TRUE(nothing);
    EXPECT_FALSE(nothing->enabled);
    EXPECT_EQ(findItem(menu, {QStringLiteral("Recent Uploads")})->children.size(), 1)
        << "no Clear History";

    findItem(menu, {QStringLiteral("Upload Files\u2026")})->trigger();
    findItem(menu, {QStringLiteral("Capture Window")})->trigger();
    findItem(menu, {QStringLiteral("Copy Text from Region")})->trigger();
    findItem(menu, {QStringLiteral("Settings\u2026")})->trigger();
    EXPECT_EQ(recorder.calls, (QStringList{QStringLiteral("pick"), QStringLiteral("window"),
                                           QStringLiteral("ocr"), QStringLiteral("settings")}));
}

TEST(MenuModel, HeaderNamesTheAccountAndTheHostOnly) {
    Recorder recorder;
    MenuState state;
    state.configured = true;
    state.server = QStringLiteral("https://media.example.org:8443/base");
    state.username = QStringLiteral("ada");
    EXPECT_EQ(buildMenu(state, recorder.actions)[0].title,
              QStringLiteral("ada @ media.example.org"));
    state.username.reset();
    EXPECT_EQ(buildMenu(state, recorder.actions)[0].title, QStringLiteral("media.example.org"));
    state.server = QStringLiteral("not a url");
    EXPECT_EQ(buildMenu(state, recorder.actions)[0].title, QStringLiteral("Not connected"));

    state.server = QStringLiteral("https://h");
    state.activeUploads = 2;
    const auto menu = buildMenu(state, recorder.actions);
    EXPECT_EQ(menu[1].title, QStringLiteral("Uploading 2 file(s)\u2026"));
    EXPECT_FALSE(menu[1].enabled);
    EXPECT_TRUE(findItem(menu, {QStringLiteral("Open Dashboard")})->enabled);
}

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

TEST(MenuModel, HotkeyItemsAndTheTextGate) {
    Recorder recorder;
    MenuState state;
    state.shortcut = [](HotkeyAction action) {
        return std::optional(hotkeys::defaultShortcut(action));
    };
    QList<MenuItem> menu = buildMenu(state, recorder.actions);
    EXPECT_EQ(findItem(menu, {QStringLiteral("Capture Region")})->keyHint,
              QStringLiteral("Ctrl+Shift+7"));
    EXPECT_EQ(findItem(menu, {QStringLiteral("Copy Text from Region")})->keyHint,
              QStringLiteral("Ctrl+Shift+2"));
    state.isEnabled = [](const QString& feature) {
        return feature != QStringLiteral("app_ocr");
    };
    menu = buildMenu(state, recorder.actions);
    EXPECT_FALSE(findItem(menu, {QStringLiteral("Copy Text from Region")}));
    EXPECT_TRUE(findItem(menu, {QStringLiteral("Capture Screen")}));
}

TEST(MenuModel, AnnotateNeedsTheFeatureAnIdAndAnImageName) {
    Recorder recorder;
    MenuState state;
    state.history = {entry(QStringLiteral("CAPS.PNG")), entry(QStringLiteral("a.webp")),
                     entry(QStringLiteral("notes.txt")),
                     entry(QStringLiteral("old.png"), std::nullopt),
                     entry(QStringLiteral("clip.mp4"))};
    auto annotatable = [&] {
        QStringList names;
        const QList<MenuItem> menu = buildMenu(state, recorder.actions);
        for (const MenuItem& item : findItem(menu, {QStringLiteral("Recent Uploads")})->children) {
            if (findItem(item.children, {QStringLiteral("Annotate\u2026")}))
                names.append(item.title);
        }
        return names;
    };
    EXPECT_EQ(annotatable(), (QStringList{QStringLiteral("CAPS.PNG"), QStringLiteral("a.webp")}));
    state.isEnabled = [](const QString& feature) {
        return feature != QStringLiteral("annotate");
    };
    EXPECT_TRUE(annotatable().isEmpty());
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

TEST(MenuModel, UpdateItemsFollowTheCheckAndTheFeature) {
    Recorder recorder;
    MenuState state;
    state.activeUploads = 2;
    state.availableUpdate = QStringLiteral("2.1.0");
    QList<MenuItem> menu = buildMenu(state, recorder.actions);
    ASSERT_GE(menu.size(), 4);
    EXPECT_EQ(menu[1].title, QStringLiteral("Uploading 2 file(s)\u2026"));
    EXPECT_EQ(menu[2].title, QStringLiteral("Update to 2.1.0\u2026")) << "after the upload line";
    EXPECT_EQ(menu[2].iconName, QStringLiteral("software-update-available"));
    EXPECT_EQ(menu[3].kind, MenuItem::Kind::Separator);
    menu[2].trigger();
    findItem(menu, {QStringLiteral("Check for Updates\u2026")})->trigger();
    EXPECT_EQ(recorder.calls, (QStringList{QStringLiteral("install"), QStringLiteral("check")}));

    // A server without automatic updates: no check item; a found version still shows.
    state.isEnabled = [](const QString& feature) {
        return feature != QStringLiteral("auto_update");
    };
    menu = buildMenu(state, recorder.actions);
    EXPECT_FALSE(findItem(menu, {QStringLiteral("Check for Updates\u2026")}));
    EXPECT_TRUE(findItem(menu, {QStringLiteral("Update to 2.1.0\u2026")}));
}
