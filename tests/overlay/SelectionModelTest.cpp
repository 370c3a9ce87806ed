// The area chooser's rules, without a display.
#include "overlay/SelectionModel.h"
#include "support/Prelude.h"

using namespace shotlark::overlay;

namespace {

Outcome dragOn(SelectionModel& model, QPoint from, QPoint to) {
    model.press(from);
    model.move((from + to) / 2);
    model.move(to);
    return model.release(to).value_or(Outcome{});
}

} // namespace

TEST(SelectionModel, DragsClicksAndNarrowDragsForRecording) {
    const QSize screen(1440, 900);
    SelectionModel model({8, true}, screen);
    // Dragged upwards and to the right: the spanned rectangle, in top-left coordinates.
    Outcome outcome = dragOn(model, QPoint(100, 400), QPoint(400, 200));
    EXPECT_EQ(outcome.kind, Outcome::Kind::Area);
    EXPECT_EQ(outcome.rect, QRect(100, 200, 300, 200));

    for (const QPoint& end : {QPoint(300, 300), QPoint(307, 500), QPoint(500, 307)}) {
        outcome = dragOn(model, QPoint(300, 300), end);
        EXPECT_EQ(outcome.kind, Outcome::Kind::WholeScreen) << end.x() << "," << end.y();
        EXPECT_EQ(outcome.rect, QRect(QPoint(0, 0), screen));
    }
    outcome = dragOn(model, QPoint(300, 300), QPoint(308, 308));
    EXPECT_EQ(outcome.kind, Outcome::Kind::Area) << "8 by 8 is an area";

    // The pointer may leave the screen; the rectangle is not clamped.
    outcome = dragOn(model, QPoint(1400, 850), QPoint(1500, 950));
    EXPECT_EQ(outcome.rect, QRect(1400, 850, 100, 100));

    EXPECT_FALSE(model.release(QPoint(5, 5))) << "a release without a press";
    model.press(QPoint(10, 10));
    EXPECT_FALSE(model.dragged()) << "nothing spanned yet";
    model.move(QPoint(20, 10));
    EXPECT_FALSE(model.dragged()) << "no height";
    model.move(QPoint(20, 30));
    EXPECT_EQ(model.dragged(), QRect(10, 10, 10, 20));
}

TEST(SelectionModel, ScreenshotRulesCancelOnAClick) {
    SelectionModel model({3, false}, QSize(800, 600));
    EXPECT_EQ(dragOn(model, QPoint(50, 50), QPoint(52, 200)).kind, Outcome::Kind::Cancelled);
    const Outcome area = dragOn(model, QPoint(50, 50), QPoint(53, 53));
    EXPECT_EQ(area.kind, Outcome::Kind::Area);
    EXPECT_EQ(area.rect, QRect(50, 50, 3, 3));
}
