// The tray menu as a window, where there is no tray.
#include "app/MenuWindow.h"
#include "app/MenuModel.h"
#include "support/Prelude.h"

#include <QLabel>
#include <QPushButton>

namespace {

HistoryEntry entry(const QString& name) {
    return HistoryEntry{u"id1"_s, name, u"https://m.example/u/"_s + name,
                        u"https://m.example/d/"_s + name, 1.0};
}

} // namespace

// Readable, and it steps aside for a capture.
TEST(MenuWindow, ChosenActionsCloseItFirstAndNothingOverlaps) {
    QStringList calls;
    MenuActions actions;
    actions.captureRegion = [&] {
        calls << u"region"_s;
    };
    MenuState state;
    state.configured = true;
    state.history.append(entry(u"a.png"_s));
    state.shortcut = [](HotkeyAction action) {
        return std::optional(hotkeys::defaultShortcut(action));
    };
    MenuWindow window([&] { return buildMenu(state, actions); });
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
    EXPECT_TRUE(calls.isEmpty()) << "the window is gone from the screen first";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !calls.isEmpty(); }, 2000));
    EXPECT_EQ(calls, QStringList{u"region"_s});

    window.present(false);
    EXPECT_FALSE(window.showsHint()) << "said once";
}
