// Hotkey registration and dispatch in the app, with the key grabs of a recording stand-in.
#include "app/AppDelegate.h"
#include "hotkeys/HotKeyCenter.h"
#include "hotkeys/HotkeyState.h"
#include "server/ServerInfo.h"
#include "support/Await.h"
#include "support/FakeServices.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"

#include <QApplication>
#include <QClipboard>

TEST(HotKeyCenterTest, IdentifiersAdvanceAndPressesFindTheirHandlers) {
    FakeHotkeys keys;
    keys.taken = {{Qt::Key_9, Qt::ControlModifier | Qt::ShiftModifier}};
    HotKeyCenter center(keys);
    int fired = 0;
    EXPECT_TRUE(center.registerHotKey(26, 0x300, [&] { ++fired; }));
    EXPECT_FALSE(center.registerHotKey(25, 0x300, [&] { fired += 100; }))
        << "taken by someone else";
    EXPECT_EQ(center.registeredCount(), 1);
    EXPECT_EQ(center.nextID(), 3u) << "a refusal uses up its identifier too";
    EXPECT_FALSE(center.registerHotKey(200, 0x300, [] {})) << "no key for that code";

    ASSERT_TRUE(keys.press(Qt::Key_7, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_EQ(fired, 1);
    center.unregisterAll();
    EXPECT_TRUE(keys.grabbed.isEmpty());
    EXPECT_TRUE(center.registerHotKey(26, 0x300, [&] { fired += 10; }));
    EXPECT_EQ(keys.grabbed.keys(), QList<quint32>{4u})
        << "identifiers continue after unregisterAll";
    Q_EMIT keys.pressed(1); // queued before the unregister: nothing happens
    EXPECT_EQ(fired, 1);
}

namespace {
class HotkeyAppTest : public testing::Test {
protected:
    void SetUp() override { app = std::make_unique<AppDelegate>(desktop.services()); }
    FakeDesktop desktop;
    std::unique_ptr<AppDelegate> app;
};
} // namespace

TEST_F(HotkeyAppTest, ShortcutsTheDesktopTurnsDownLaterAreReportedTogether) {
    app->registerHotKeys();
    EXPECT_TRUE(desktop.notifications->posted.isEmpty());
    desktop.hotkeys->refuse(u"screen"_s);
    desktop.hotkeys->refuse(u"region"_s);
    QCoreApplication::processEvents();
    EXPECT_EQ(HotkeyState::shared().failed,
              (QSet<HotkeyAction>{HotkeyAction::region, HotkeyAction::screen}));
    ASSERT_EQ(desktop.notifications->posted.size(), 1);
    EXPECT_EQ(desktop.notifications->posted[0].body,
              QStringLiteral("Ctrl+Shift+7, Ctrl+Shift+9 is used by another app. Pick different "
                             "ones in Settings."));
    EXPECT_FALSE(desktop.hotkeys->press(Qt::Key_7, Qt::ControlModifier | Qt::ShiftModifier));
}

TEST_F(HotkeyAppTest, EveryActionIsGrabbedUnlessSwitchedOff) {
    app->registerHotKeys();
    EXPECT_EQ(desktop.hotkeys->grabbed.size(), 8);
    EXPECT_TRUE(desktop.notifications->posted.isEmpty());

    HotkeyState::shared().suspend();
    EXPECT_TRUE(desktop.hotkeys->grabbed.isEmpty()) << "suspended while a shortcut is recorded";
    hotkeys::setShortcut(HotkeyAction::clipboard, std::nullopt);
    HotkeyState::shared().reloadAndRefresh();
    EXPECT_EQ(desktop.hotkeys->grabbed.size(), 7) << "switched off: not grabbed";
}

TEST_F(HotkeyAppTest, ActionsTheServerSwitchedOffSaySo) {
    TestHttpServer server;
    server.on("/api/features", {200, R"({"enabled":[]})"});
    Config::shared().setString(keys::server, server.url());
    await(ServerInfo::shared().refresh(true));
    app->perform(HotkeyAction::ocr);
    app->perform(HotkeyAction::gif);
    ASSERT_EQ(desktop.notifications->posted.size(), 2);
    EXPECT_EQ(desktop.notifications->posted[0].title, u"Turned off"_s);
    EXPECT_EQ(desktop.notifications->posted[0].body,
              u"Copy text from region is switched off on this server."_s);
    EXPECT_EQ(desktop.notifications->posted[1].body,
              u"Record GIF (press again to stop) is switched off on this server."_s);
}
