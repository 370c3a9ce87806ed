// The recorder's movie size: H.264 wants even sides, and nothing is ever scaled up.
#include "recording/ScreenRecorder.h"
#include "support/Prelude.h"

TEST(RecorderSettings, SizeIsOnlyEverScaledDownToEvenSides) {
    struct Case {
        QSizeF pixels;
        double maxEdge;
        QSize movie;
    };
    for (const Case& c : std::initializer_list<Case>{
             {{3024, 1964}, 1920, {1920, 1246}}, // 1246.98 cut, already even
             {{301, 201}, 1920, {300, 200}},
             {{0, 0}, 1920, {2, 2}},
             {{1, 5000}, 2560, {2, 2560}},
             {{2560, 1440}, 2560, {2560, 1440}},
             {{3840, 2160}, 2560, {2560, 1440}},
         }) {
        EXPECT_EQ(ScreenRecorder::movieSize(c.pixels, c.maxEdge), c.movie)
            << c.pixels.width() << "x" << c.pixels.height();
    }
}
