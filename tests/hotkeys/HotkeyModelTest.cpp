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

TEST(HotkeyModel, KeyPressesThatMakeAShortcut) {
    EXPECT_EQ(Shortcut::fromKey(0, 0x100, u"a"_s), (Shortcut{0, 0x100, u"A"_s}));
    EXPECT_FALSE(Shortcut::fromKey(0, 0x200, u"a"_s)) << "shift alone";
    EXPECT_FALSE(Shortcut::fromKey(29, 0, u"0"_s));
    EXPECT_EQ(Shortcut::fromKey(96, 0, QString()), (Shortcut{96, 0, u"F5"_s}));
    EXPECT_EQ(Shortcut::fromKey(96, 0x200, QString()), (Shortcut{96, 0x200, u"F5"_s}));
    EXPECT_EQ(Shortcut::fromKey(49, 0x800, u" "_s), (Shortcut{49, 0x800, u"Space"_s}));
    EXPECT_FALSE(Shortcut::fromKey(3, 0x100, u"  "_s)) << "no key text";

    // From Qt's key events: the key as produced without modifiers, Qt's modifier names.
    EXPECT_EQ(Shortcut::fromQtKey(Qt::Key_7, Qt::ControlModifier | Qt::ShiftModifier), ctrlShift7);
    EXPECT_EQ(Shortcut::fromQtKey(Qt::Key_R, Qt::MetaModifier | Qt::AltModifier),
              hotkeys::defaultShortcut(HotkeyAction::replay));
    EXPECT_EQ(Shortcut::fromQtKey(Qt::Key_F12, Qt::NoModifier), (Shortcut{111, 0, u"F12"_s}));
    EXPECT_EQ(Shortcut::fromQtKey(Qt::Key_Return, Qt::ControlModifier),
              (Shortcut{36, 0x100, u"\u21a9"_s}));
    EXPECT_EQ(Shortcut::fromQtKey(Qt::Key_Minus, Qt::AltModifier), (Shortcut{27, 0x800, u"-"_s}));
    EXPECT_FALSE(Shortcut::fromQtKey(Qt::Key_Space, Qt::ShiftModifier));
    EXPECT_FALSE(Shortcut::fromQtKey(Qt::Key_VolumeUp, Qt::ControlModifier))
        << "no key code for it";
}
