#include "app/MenuModel.h"
#include "app/MenuWindow.h"
#include "support/Prelude.h"

#include <QLabel>
#include <QPushButton>

namespace {

QStringList titles(const QList<MenuItem>& items) {
    QStringList out;
    for (const MenuItem& item : items)
        out.append(item.kind == MenuItem::Kind::Separator ? u"---"_s : item.title);
    return out;
}

HistoryEntry entry(const QString& name, std::optional<QString> id = u"id1"_s) {
    return HistoryEntry{id, name, u"https://m.example/u/"_s + name,
                        u"https://m.example/d/"_s + name, 1.0};
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
            calls << u"copy "_s + e.url;
        };
        actions.openEntry = [this](const HistoryEntry& e) {
            calls << u"open "_s + e.url;
        };
        actions.deleteEntry = [this](const HistoryEntry& e) {
            calls << u"delete "_s + e.deletionURL;
        };
        actions.annotateEntry = [this](const QString& id) {
            calls << u"annotate "_s + id;
        };
    }
};

} // namespace

TEST(MenuModel, RecentUploadsListFifteenEntriesWithTheirActions) {
    Recorder recorder;
    MenuState state;
    for (int i = 0; i < 15; ++i)
        state.history.append(entry(u"shot%1.png"_s.arg(i)));
    const auto menu = buildMenu(state, recorder.actions);
    const MenuItem* recent = findItem(menu, {u"Recent Uploads"_s});
    ASSERT_EQ(recent->children.size(), 17);
    EXPECT_EQ(recent->children[15].kind, MenuItem::Kind::Separator);
    EXPECT_EQ(recent->children[16].title, u"Clear History"_s);
    const MenuItem& first = recent->children[0];
    EXPECT_EQ(first.title, u"shot0.png"_s);
    EXPECT_EQ(first.toolTip, u"https://m.example/u/shot0.png"_s);
    EXPECT_EQ(titles(first.children),
              (QStringList{u"Copy Link"_s, u"Open in Browser"_s, u"Annotate\u2026"_s, u"---"_s,
                           u"Delete from Server"_s}));
    for (const MenuItem& item : first.children) {
        if (item.trigger)
            item.trigger();
    }
    recent->children[16].trigger();
    EXPECT_EQ(recorder.calls,
              (QStringList{u"copy https://m.example/u/shot0.png"_s,
                           u"open https://m.example/u/shot0.png"_s, u"annotate id1"_s,
                           u"delete https://m.example/d/shot0.png"_s, u"clear"_s}));
}

TEST(MenuModel, RecordingItemsFollowTheRecording) {
    Recorder recorder;
    MenuState state;
    state.shortcut = [](HotkeyAction action) {
        return std::optional(hotkeys::defaultShortcut(action));
    };
    state.isEnabled = [](const QString& feature) {
        return feature != u"app_gif"_s;
    };
    auto menu = buildMenu(state, recorder.actions);
    EXPECT_TRUE(findItem(menu, {u"Record Screen"_s}));
    EXPECT_FALSE(findItem(menu, {u"Record GIF"_s})) << "gated by app_gif";

    // A GIF recording: one stop item with the elapsed time and the GIF hotkey, nothing else.
    state.isEnabled = [](const QString&) {
        return true;
    };
    state.recording = true;
    state.recordingGIF = true;
    state.recordingDuration = u"1:05"_s;
    menu = buildMenu(state, recorder.actions);
    const MenuItem* stop = findItem(menu, {u"Stop Recording (1:05)"_s});
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->keyHint, hotkeys::defaultShortcut(HotkeyAction::gif).display());
    EXPECT_FALSE(findItem(menu, {u"Record Screen"_s}));
    EXPECT_FALSE(findItem(menu, {u"Record GIF"_s}));
    stop->trigger();
    EXPECT_EQ(recorder.calls, QStringList{u"stop"_s});
}

// Where there is no tray: the same menu as a window, readable, that steps aside for a capture.
TEST(MenuWindow, ChosenActionsCloseItFirstAndNothingOverlaps) {
    Recorder recorder;
    MenuState state;
    state.configured = true;
    state.history.append(entry(u"a.png"_s));
    state.shortcut = [](HotkeyAction action) {
        return std::optional(hotkeys::defaultShortcut(action));
    };
    MenuWindow window([&] { return buildMenu(state, recorder.actions); });
    window.present(true);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(window.showsHint());

    QList<QWidget*> shown;
    for (QWidget* widget : window.findChildren<QWidget*>()) {
        if (widget->isVisible() &&
            (qobject_cast<QLabel*>(widget) || qobject_cast<QPushButton*>(widget)))
            shown.append(widget);
    }
    ASSERT_GT(shown.size(), 10);
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QRect a(shown[i]->mapTo(&window, QPoint()), shown[i]->size());
        EXPECT_TRUE(window.rect().contains(a)) << shown[i]->objectName();
        const QSize hint = shown[i]->sizeHint();
        const int needed =
            shown[i]->hasHeightForWidth() ? shown[i]->heightForWidth(a.width()) : hint.height();
        EXPECT_GE(a.height(), needed) << "cut: " << shown[i]->property("text").toString();
        if (!shown[i]->hasHeightForWidth()) {
            EXPECT_GE(a.width(), hint.width()) << "cut: " << shown[i]->property("text").toString();
        }
        for (qsizetype j = i + 1; j < shown.size(); ++j) {
            const QRect b(shown[j]->mapTo(&window, QPoint()), shown[j]->size());
            EXPECT_FALSE(a.intersects(b)) << shown[i]->property("text").toString() << " / "
                                          << shown[j]->property("text").toString();
        }
    }

    QPushButton* region = nullptr;
    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        if (button->text() == u"Capture Region"_s)
            region = button;
    }
    ASSERT_TRUE(region);
    region->click();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(recorder.calls.isEmpty()) << "the window is gone from the screen first";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !recorder.calls.isEmpty(); }, 2000));
    EXPECT_EQ(recorder.calls, QStringList{u"region"_s});

    window.present(false);
    EXPECT_FALSE(window.showsHint()) << "said once";
}
