// shotlark-screencapture on the harness's Xvfb, with a known picture on screen and the pointer
// driven through XTest (xdotool).
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/Prelude.h"
#include "support/ScreenDriver.h"

#include <QGuiApplication>
#include <QProcessEnvironment>
#include <QScreen>

namespace {

const QString tool = QStringLiteral(SHOTLARK_CAPTURE_TOOL);

class ToolTest : public testing::Test {
protected:
    void SetUp() override {
        screen = QGuiApplication::primaryScreen()->geometry().size();
        picture = std::make_unique<PictureWindow>(knownImage(screen.width(), screen.height()),
                                                  QRect(QPoint(0, 0), screen));
        picture->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(picture.get()));
        QTest::qWait(100);
        target = testHome() + u"/shot.png"_s;
    }

    // Starts the tool; for interactive modes, waits until its overlay is up.
    void start(const QStringList& args, bool interactive) {
        process.setProcessEnvironment(environment);
        process.start(tool, QStringList{u"-x"_s} + args + QStringList{target});
        ASSERT_TRUE(process.waitForStarted());
        if (interactive) {
            ASSERT_TRUE(waitForCaptureOverlay());
        }
    }

    int finish() {
        EXPECT_TRUE(process.waitForFinished(10000));
        return process.exitCode();
    }

    // Every 37th pixel of `shot` against the known picture at `origin`.
    void expectKnownPixels(const QImage& shot, QPoint origin) {
        int wrong = 0;
        for (int y = 0; y < shot.height(); y += 37) {
            for (int x = 0; x < shot.width(); x += 37)
                wrong += shot.pixelColor(x, y) != knownPixel(origin.x() + x, origin.y() + y,
                                                             screen.width(), screen.height());
        }
        EXPECT_EQ(wrong, 0);
    }

    // Shows a known window at `rect`, clicks `at` in window-picking mode, and checks that the
    // tool wrote that window's pixels at its size.
    void expectWindowPicked(const QRect& rect, QPoint at) {
        const QImage inner = knownImage(rect.width(), rect.height()).mirrored(true, false);
        PictureWindow window(inner, rect, u"pick-me"_s);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(100);
        QFile::remove(target);
        start({u"-i"_s, u"-W"_s}, true);
        xdotool(
            {u"mousemove"_s, QString::number(at.x()), QString::number(at.y()), u"click"_s, u"1"_s});
        ASSERT_EQ(finish(), 0) << process.readAllStandardError();
        const QImage shot(target);
        ASSERT_EQ(shot.size(), rect.size());
        EXPECT_EQ(shot.pixelColor(5, 5), inner.pixelColor(5, 5));
        const QPoint far(rect.width() - 10, rect.height() - 10);
        EXPECT_EQ(shot.pixelColor(far), inner.pixelColor(far));
    }

    // Drags from `from` to `to` in region mode and checks the cut of the known picture.
    void expectRegionDragged(QPoint from, QPoint to) {
        QFile::remove(target);
        start({u"-i"_s}, true);
        drag(from, to);
        ASSERT_EQ(finish(), 0) << process.readAllStandardError();
        const QImage shot(target);
        ASSERT_EQ(shot.size(), QSize(to.x() - from.x(), to.y() - from.y()));
        EXPECT_FALSE(shot.hasAlphaChannel());
        expectKnownPixels(shot, from);
    }

    QSize screen;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    std::unique_ptr<PictureWindow> picture;
    QString target;
    QProcess process;
};

} // namespace

TEST_F(ToolTest, DisplayIsCapturedWholeAsAnOpaquePng) {
    start({u"-D"_s, u"1"_s}, false);
    ASSERT_EQ(finish(), 0) << process.readAllStandardError();
    const QImage shot(target);
    ASSERT_EQ(shot.size(), screen);
    EXPECT_FALSE(shot.hasAlphaChannel());
    expectKnownPixels(shot, QPoint(0, 0));
    EXPECT_EQ(QDir(testHome()).entryList({u"shot.png*"_s}, QDir::Files | QDir::Hidden),
              QStringList{u"shot.png"_s})
        << "no temporary name left";

    QFile::remove(target);
    start({u"-D"_s, u"2"_s}, false);
    EXPECT_NE(finish(), 0);
    EXPECT_TRUE(process.readAllStandardError().contains("no such display"));
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(ToolTest, EscapeOrAClickWithoutDragCancelsWithoutAFile) {
    start({u"-i"_s}, true);
    // The dimmed screen says what to do, in white in its middle.
    const QImage shown = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    int white = 0;
    for (int y = screen.height() / 2 - 12; y < screen.height() / 2 + 12; ++y) {
        for (int x = screen.width() / 2 - 150; x < screen.width() / 2 + 150; ++x)
            white += qGray(shown.pixel(x, y)) > 235;
    }
    EXPECT_GT(white, 100) << "the hint";
    xdotool({u"key"_s, u"Escape"_s});
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(QFile::exists(target));

    start({u"-i"_s}, true);
    xdotool({u"mousemove"_s, u"300"_s, u"300"_s, u"click"_s, u"1"_s});
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(ToolTest, ClickedWindowIsCapturedAtItsSize) {
    expectWindowPicked(QRect(210, 150, 320, 240), QPoint(300, 260));

    QFile::remove(target);
    start({u"-i"_s, u"-W"_s}, true);
    xdotool({u"key"_s, u"Escape"_s});
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(ToolTest, WindowAndRegionOnAScaledDesktop) {
    // Pointer positions and window rectangles are the X server's pixels; Qt's are halved.
    environment.insert(u"QT_SCALE_FACTOR"_s, u"2"_s);
    expectWindowPicked(QRect(210, 150, 320, 240), QPoint(300, 260));
    expectRegionDragged(QPoint(100, 120), QPoint(400, 320));

    // Marked up: the picture keeps the server's pixels, and a box 4 wide on screen is 8 of them.
    QFile::remove(target);
    start({u"-i"_s, u"-e"_s}, true);
    drag(QPoint(100, 120), QPoint(400, 320));
    QTest::qWait(500);
    xdotool({u"key"_s, u"r"_s});
    drag(QPoint(120, 140), QPoint(220, 220));
    xdotool({u"key"_s, u"Return"_s});
    ASSERT_EQ(finish(), 0) << process.readAllStandardError();
    EXPECT_EQ(process.readAllStandardOutput(), "upload\n");
    const QImage marked = QImage(target).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(marked.size(), QSize(300, 200));
    const QColor ink(0xe5, 0x39, 0x35);
    EXPECT_EQ(marked.pixelColor(17, 60), ink);
    EXPECT_EQ(marked.pixelColor(23, 60), ink);
    EXPECT_NE(marked.pixelColor(27, 60), ink);
    EXPECT_EQ(marked.pixelColor(60, 60), knownPixel(160, 180, screen.width(), screen.height()))
        << "inside the box, the screen as it was";
}

TEST_F(ToolTest, TwoScreensOfDifferentScale) {
    // Two monitors side by side on the one X screen; Qt scales the right one twice.
    const int half = screen.width() / 2;
    ASSERT_TRUE(splitScreen(screen));
    environment.insert(u"QT_SCREEN_SCALE_FACTORS"_s, u"1;2"_s);
    expectWindowPicked(QRect(half + 60, 100, 200, 160), QPoint(half + 120, 150));
    expectRegionDragged(QPoint(half + 160, 200), QPoint(half + 360, 360));

    // Display 2, whole, in the order the app numbers its screens (read without Qt's GUI),
    // once the picture is back where the overlay was.
    QFile::remove(target);
    QTest::qWait(300);
    start({u"-D"_s, u"2"_s}, false);
    ASSERT_EQ(finish(), 0) << process.readAllStandardError();
    const QImage right(target);
    EXPECT_EQ(right.size(), QSize(screen.width() - half, screen.height()));
    expectKnownPixels(right, QPoint(half, 0));
}
