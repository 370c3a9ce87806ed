// Global shortcuts on a real X server (the harness's Xvfb), pressed with XTest through xdotool.
#include "app/AppDelegate.h"
#include "hotkeys/HotKeyCenter.h"
#include "hotkeys/HotkeyState.h"
#include "platform/LinuxBackends.h"
#include "settings/SettingsWindowController.h"
#include "settings/ShortcutField.h"
#include "support/Prelude.h"
#include "support/ScreenDriver.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <X11/keysym.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace {

void press(const QString& keys) {
    xdotool({u"key"_s, keys});
}

// Another X client that owns a combination, as another application would.
class OtherClient {
public:
    explicit OtherClient(xcb_keysym_t keysym, uint16_t modifiers) {
        connection_ = xcb_connect(nullptr, nullptr);
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection_);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
        keycode_ = codes[0];
        free(codes);
        xcb_key_symbols_free(symbols);
        xcb_request_check(connection_,
                          xcb_grab_key_checked(connection_, 1, root_, modifiers, keycode_,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    ~OtherClient() { xcb_disconnect(connection_); }

private:
    xcb_connection_t* connection_;
    xcb_window_t root_;
    xcb_keycode_t keycode_;
};

} // namespace

TEST(X11Hotkeys, PressesReachTheMainThreadWithNumLockAndStopAfterUnregister) {
    platform::XcbHotkeys keys;
    ASSERT_TRUE(keys.isAvailable());
    HotKeyCenter center(keys);
    QList<QString> fired;
    bool offMain = false;
    auto handler = [&](const QString& name) {
        return [&, name] {
            offMain |= QThread::currentThread() != QCoreApplication::instance()->thread();
            fired.append(name);
        };
    };
    ASSERT_TRUE(center.registerHotKey(26, 0x300, handler(u"region"_s)));
    ASSERT_TRUE(center.registerHotKey(15, 0x1800, handler(u"replay"_s)));
    ASSERT_TRUE(center.registerHotKey(96, 0, handler(u"f5"_s)));

    press(u"ctrl+shift+7"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired.size() == 1; }, 5000));
    EXPECT_EQ(fired, QStringList{u"region"_s});
    press(u"super+alt+r"_s);
    press(u"F5"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired.size() == 3; }, 5000));
    EXPECT_EQ(fired, (QStringList{u"region"_s, u"replay"_s, u"f5"_s}));

    press(u"Num_Lock"_s);
    press(u"ctrl+shift+7"_s);
    press(u"Num_Lock"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired.size() == 4; }, 5000))
        << "NumLock on still triggers";
    press(u"ctrl+7"_s);
    QTest::qWait(200);
    EXPECT_EQ(fired.size(), 4) << "other modifiers are another combination";
    EXPECT_FALSE(offMain);

    center.unregisterAll();
    press(u"ctrl+shift+7"_s);
    QTest::qWait(300);
    EXPECT_EQ(fired.size(), 4);
}

TEST(X11Hotkeys, ACombinationAnotherClientOwnsIsRefused) {
    OtherClient other(XK_0, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT);
    TestNotificationServer notifications;
    ASSERT_TRUE(notifications.registerOnBus());
    AppDelegate app(platform::Services::linuxDesktop());
    app.registerHotKeys();
    EXPECT_EQ(HotkeyState::shared().failed, QSet<HotkeyAction>{HotkeyAction::clipboard});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.received.isEmpty(); }, 5000));
    EXPECT_EQ(notifications.received.front().body,
              u"Ctrl+Shift+0 is used by another app. Pick different ones in Settings."_s);
}

namespace {
class ShortcutFieldTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(notifications.registerOnBus()); // else the bus starts the desktop's own
        app = std::make_unique<AppDelegate>(platform::Services::linuxDesktop());
        app->registerHotKeys();
        SettingsWindowController::shared().show();
        SettingsView* view = SettingsWindowController::shared().view();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
        field = currentField(HotkeyAction::clipboard);
        ASSERT_TRUE(field) << "the clipboard row";
    }

    void startRecording() {
        QTest::mouseClick(field->button(), Qt::LeftButton);
        ASSERT_TRUE(field->isRecording());
        ASSERT_EQ(field->button()->text(), u"Press keys\u2026"_s);
        QTest::qWait(100); // the keyboard grab reaches the server
    }

    bool waitUntilIdle() {
        return QTest::qWaitFor(
            [&] {
                const ShortcutField* shown = currentField();
                return !shown || !shown->isRecording();
            },
            5000);
    }

    // Rows are rebuilt after every recording.
    ShortcutField* currentField(HotkeyAction action = HotkeyAction::clipboard) {
        QTest::qWait(50);
        for (ShortcutField* candidate :
             SettingsWindowController::shared().view()->findChildren<ShortcutField*>()) {
            if (candidate->isVisible() && candidate->action() == action)
                return candidate;
        }
        return nullptr;
    }

    TestNotificationServer notifications;
    std::unique_ptr<AppDelegate> app;
    ShortcutField* field = nullptr;
};
} // namespace

TEST_F(ShortcutFieldTest, RecordingAssignsWithRealKeysAndClearsTheDuplicate) {
    EXPECT_EQ(field->button()->text(), u"Ctrl+Shift+0"_s);
    startRecording();
    EXPECT_TRUE(HotkeyState::shared().failed.isEmpty());
    press(u"a"_s);
    QTest::qWait(200);
    EXPECT_TRUE(field->isRecording()) << "a letter alone is no shortcut";

    press(u"ctrl+shift+7"_s);
    ASSERT_TRUE(waitUntilIdle());
    EXPECT_EQ(hotkeys::shortcut(HotkeyAction::clipboard), (Shortcut{26, 0x300, u"7"_s}));
    EXPECT_FALSE(hotkeys::shortcut(HotkeyAction::region))
        << "the region's default lost its duplicate";
    EXPECT_EQ(currentField()->button()->text(), u"Ctrl+Shift+7"_s);
    EXPECT_EQ(currentField(HotkeyAction::region)->button()->text(), u"None"_s)
        << "the other row shows it";

    // The new shortcut is live again after the recording.
    TestHttpServer server;
    Config::shared().setString(keys::server, server.url());
    Config::shared().setToken(u"t"_s);
    QGuiApplication::clipboard()->setText(u"by the new shortcut"_s);
    press(u"ctrl+shift+7"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !server.requestsTo("/api/upload").isEmpty(); }, 5000))
        << "the clipboard flow ran";
}
