#include "hotkeys/HotkeyAction.h"
#include "server/ServerInfo.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"

namespace shotlark {
void PrintTo(const Shortcut& s, std::ostream* os) {
    *os << s.encode();
}
} // namespace shotlark

namespace {
const Shortcut ctrlShift7{26, 0x300, u"7"_s};
} // namespace

TEST(HotkeyModel, StoredFormsAbsentEmptyDamagedAndValid) {
    Config& config = Config::shared();
    const QString key = hotkeys::defaultsKey(HotkeyAction::window);
    config.setData(key, R"({"key":"8","modifiers":768,"keyCode":28})");
    EXPECT_EQ(hotkeys::shortcut(HotkeyAction::window), (Shortcut{28, 768, u"8"_s}))
        << "any member order";
    for (const char* damaged :
         {"not json", R"({"keyCode":28,"modifiers":768})",
          R"({"keyCode":-1,"modifiers":768,"key":"8"})",
          R"({"keyCode":4294967296,"modifiers":768,"key":"8"})",
          R"({"keyCode":"28","modifiers":768,"key":"8"})",
          R"({"keyCode":28.5,"modifiers":768,"key":"8"})", "[28,768,\"8\"]"}) {
        config.setData(key, damaged);
        EXPECT_FALSE(hotkeys::shortcut(HotkeyAction::window))
            << damaged << ": damaged reads as off, not default";
    }
    hotkeys::setShortcut(HotkeyAction::window, std::nullopt);
    EXPECT_EQ(config.dataValue(key), QByteArray());
    EXPECT_FALSE(hotkeys::shortcut(HotkeyAction::window));

    hotkeys::setShortcut(HotkeyAction::window, Shortcut{96, 0, u"F5"_s});
    EXPECT_EQ(Shortcut::decode(*config.dataValue(key)), (Shortcut{96, 0, u"F5"_s}));
    hotkeys::resetAll();
    EXPECT_FALSE(config.contains(key));
    EXPECT_EQ(hotkeys::shortcut(HotkeyAction::window),
              hotkeys::defaultShortcut(HotkeyAction::window));
}

TEST(HotkeyModel, AssignClearsEveryDuplicateButNotLookalikes) {
    hotkeys::assign(HotkeyAction::record, ctrlShift7);
    EXPECT_EQ(hotkeys::shortcut(HotkeyAction::record), ctrlShift7);
    EXPECT_EQ(Config::shared().dataValue(hotkeys::defaultsKey(HotkeyAction::region)), QByteArray())
        << "region switched off";
    EXPECT_EQ(hotkeys::shortcut(HotkeyAction::window),
              hotkeys::defaultShortcut(HotkeyAction::window));

    hotkeys::setShortcut(HotkeyAction::screen, Shortcut{26, 0x300, u"&"_s});
    hotkeys::assign(HotkeyAction::gif, ctrlShift7);
    EXPECT_FALSE(hotkeys::shortcut(HotkeyAction::record));
    EXPECT_TRUE(hotkeys::shortcut(HotkeyAction::screen))
        << "different key text: not the same shortcut";

    hotkeys::assign(HotkeyAction::gif, std::nullopt);
    EXPECT_FALSE(hotkeys::shortcut(HotkeyAction::gif));
    EXPECT_TRUE(hotkeys::shortcut(HotkeyAction::screen));
}
