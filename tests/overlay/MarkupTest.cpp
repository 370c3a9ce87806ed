// The editor's marks without any window: undo and redo, step numbers, and where each tool's
// pixels land in the picture that leaves.
#include "overlay/Markup.h"
#include "support/Prelude.h"

using namespace shotlark::overlay;

namespace {

Mark mark(MarkTool tool, QList<QPointF> points, QColor color = Qt::red, int width = 4) {
    Mark made;
    made.tool = tool;
    made.points = std::move(points);
    made.color = color;
    made.width = width;
    return made;
}

} // namespace

TEST(Markup, UndoRedoStepNumbersAndTextsEditedAgain) {
    Markup markup;
    markup.add(mark(MarkTool::arrow, {{0, 0}, {10, 10}}));
    markup.add(mark(MarkTool::line, {{0, 0}, {10, 0}}));
    markup.undo();
    EXPECT_EQ(markup.marks().size(), 1);
    markup.redo();
    EXPECT_EQ(markup.marks().size(), 2);
    markup.undo();
    markup.add(mark(MarkTool::pen, {{1, 1}}));
    EXPECT_FALSE(markup.canRedo()) << "a new mark ends what could be redone";

    // Each colour counts on its own, from the start number.
    EXPECT_EQ(markup.nextNumber(Qt::red, 1), 1);
    Mark step = mark(MarkTool::counter, {{50, 50}});
    step.number = 1;
    markup.add(step);
    EXPECT_EQ(markup.nextNumber(Qt::red, 1), 2);
    EXPECT_EQ(markup.nextNumber(Qt::blue, 5), 5);

    Mark text = mark(MarkTool::text, {{20, 20}});
    text.text = u"Click here"_s;
    markup.add(text);
    const qsizetype at = markup.textAt(QPointF(25, 30));
    ASSERT_EQ(at, markup.marks().size() - 1);
    text.text.clear();
    markup.replace(at, text);
    EXPECT_EQ(markup.textAt(QPointF(25, 30)), -1) << "emptied, it is gone";
    markup.undo();
    EXPECT_EQ(markup.marks().back().text, u"Click here"_s);

    // Picked by their whole extent (a box by its far corner too), moved, and shifted with
    // every step when the picture's origin moves.
    Markup shapes;
    shapes.add(mark(MarkTool::rectangle, {{20, 20}, {100, 80}}));
    EXPECT_TRUE(shapes.marks().front().bounds().contains(QRect(20, 20, 80, 60)));
    EXPECT_EQ(shapes.markAt(QPointF(99, 79)), 0);
    shapes.replace(0, shapes.marks().front().movedBy(QPointF(10, 5)));
    shapes.shiftAll(QPointF(40, 0));
    EXPECT_EQ(shapes.marks().front().points.front(), QPointF(70, 25));
    shapes.undo();
    EXPECT_EQ(shapes.marks().front().points.front(), QPointF(60, 20)) << "the step before, shifted";
    shapes.remove(0);
    EXPECT_TRUE(shapes.isEmpty());
}

TEST(Markup, EachToolDrawsWhereItWasDrawn) {
    QImage picture(240, 160, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixelColor(x, y, QColor(x, y, 255 - x)); // every pixel different
    }
    const QImage out =
        renderMarks(picture, {mark(MarkTool::rectangle, {{20, 20}, {100, 80}}),
                              mark(MarkTool::arrow, {{20, 120}, {220, 120}}),
                              mark(MarkTool::redact, {{120, 10}, {180, 40}}, Qt::black),
                              mark(MarkTool::pixelate, {{120, 50}, {216, 98}}),
                              mark(MarkTool::highlighter, {{20, 150}, {100, 150}}, Qt::yellow)});
    ASSERT_EQ(out.size(), picture.size());
    const auto red = [&](int x, int y) {
        return out.pixelColor(x, y) == QColor(Qt::red);
    };
    EXPECT_TRUE(red(20, 50) && red(100, 50) && red(60, 20) && red(60, 80)) << "a box's edges";
    EXPECT_EQ(out.pixelColor(60, 50), picture.pixelColor(60, 50)) << "and nothing inside";
    EXPECT_TRUE(red(60, 120) && red(217, 120)) << "the shaft and the head's tip";
    EXPECT_TRUE(red(205, 115) && red(205, 125)) << "the head is wider than the shaft";
    EXPECT_FALSE(red(60, 115));
    for (int y = 11; y < 40; y += 7) {
        for (int x = 121; x < 180; x += 7)
            EXPECT_EQ(out.pixelColor(x, y), QColor(Qt::black)) << "redacted whole";
    }
    // Pixelation: 12-pixel blocks of one colour each, from the picture's own colours.
    for (int by = 50; by < 98; by += 12) {
        for (int bx = 120; bx < 216; bx += 12) {
            EXPECT_EQ(out.pixelColor(bx, by), out.pixelColor(bx + 11, by + 11)) << bx << "," << by;
            EXPECT_NE(out.pixelColor(bx, by), out.pixelColor(bx + 12, by)) << bx << "," << by;
        }
    }
    // The highlighter multiplies: blue (what yellow lacks) is gone, red and green stay.
    const QColor under = picture.pixelColor(60, 150), over = out.pixelColor(60, 150);
    EXPECT_LT(over.blue(), under.blue() / 2);
    EXPECT_GE(over.red(), under.red() - 3);
}
