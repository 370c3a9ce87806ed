// The recorder's arithmetic: movie size, bitrate, file name, settings.
#include "recording/ScreenRecorder.h"
#include "store/Config.h"
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

TEST(RecorderSettings, BitrateFormulaWithItsFloorAndCap) {
    EXPECT_EQ(ScreenRecorder::bitrate({1920, 1080}, 30, 0.06, 8e6), 3'732'480);
    EXPECT_EQ(ScreenRecorder::bitrate({2560, 1440}, 60, 0.1, 20e6), 20'000'000);
    EXPECT_EQ(ScreenRecorder::bitrate({640, 360}, 30, 0.06, 8e6), 1'500'000);
}

TEST(RecorderSettings, ReadFromTheStoreWhenMade) {
    EXPECT_EQ(ScreenRecorder::fileName(QDateTime(QDate(2026, 3, 3), QTime(14, 5, 9))),
              u"Recording_2026-03-03_14-05-09.mp4"_s);
    ScreenRecorder::Settings settings = ScreenRecorder::Settings::fromConfig();
    EXPECT_EQ(settings.frameRate, 30);
    EXPECT_EQ(settings.maxEdge, 1920);
    Config::shared().setInteger(keys::recordFrameRate, 45);
    EXPECT_EQ(ScreenRecorder::Settings::fromConfig().frameRate, 30) << "only 60 gives 60";
    Config::shared().setInteger(keys::recordFrameRate, 60);
    Config::shared().setBool(keys::recordHighQuality, true);
    settings = ScreenRecorder::Settings::fromConfig();
    EXPECT_EQ(settings.frameRate, 60);
    EXPECT_EQ(settings.maxEdge, 2560);
    EXPECT_EQ(settings.bitsPerPixel, 0.1);
    EXPECT_EQ(settings.maxBitrate, 20'000'000);
}
