// shotlark-screencapture in a Wayland session: the picture comes from the desktop's Screenshot
// portal, regions and windows are chosen on our own overlay, driven by a virtual pointer and
// virtual keys as a user would.
#include "WaylandFixture.h"
#include "support/Prelude.h"

namespace {

class WaylandCaptureTest : public WaylandTest {
protected:
    void SetUp() override {
        WaylandTest::SetUp();
        target = session.userDirectory(u"out"_s) + u"/shot.png"_s;
    }

    void TearDown() override {
        tool.kill();
        tool.waitForFinished();
        WaylandTest::TearDown();
    }

    void startTool(const QStringList& args, bool overlay) {
        start(tool, QStringList{QStringLiteral(SHOTLARK_CAPTURE_TOOL), u"-x"_s} + args +
                        QStringList{target});
        if (overlay) {
            ASSERT_TRUE(shown(u"shotlark-screencapture"_s));
            QThread::msleep(200);
        }
    }

    int finish() {
        // waitForFinished() is false for a process that has already ended.
        if (tool.state() != QProcess::NotRunning) {
            EXPECT_TRUE(tool.waitForFinished(15000));
        }
        return tool.exitCode();
    }

    QString target;
    QProcess tool;
};

TEST_F(WaylandCaptureTest, WholeScreenComesFromThePortalUnchanged) {
    showKnownPicture();
    startTool({u"-D"_s, u"1"_s}, false);
    ASSERT_EQ(finish(), 0) << tool.readAllStandardError();
    const QImage shot(target);
    ASSERT_EQ(shot.size(), QSize(width, height));
    EXPECT_FALSE(shot.hasAlphaChannel());
    EXPECT_EQ(wrongKnownPixels(shot, {0, 0}), 0);

    startTool({u"-D"_s, u"2"_s}, false);
    EXPECT_NE(finish(), 0);
    EXPECT_TRUE(tool.readAllStandardError().contains("no such display"));
}

TEST_F(WaylandCaptureTest, RegionIsDraggedOnTheFrozenPictureAndEscapeCancels) {
    showKnownPicture();
    startPointer();
    startTool({u"-i"_s}, true);
    drag({100, 120}, {340, 300});
    ASSERT_EQ(finish(), 0) << tool.readAllStandardError();
    const QImage shot(target);
    EXPECT_EQ(shot.size(), QSize(240, 180));
    EXPECT_EQ(wrongKnownPixels(shot, {100, 120}), 0);

    QFile::remove(target);
    startTool({u"-i"_s}, true);
    // wtype's keyboard exists only while it runs: it waits before the key so that the overlay
    // has taken up the new keyboard, and presses again if the key still came too early.
    const QStringList escape =
        session.asUser({u"wtype"_s, u"-s"_s, u"400"_s, u"-k"_s, u"Escape"_s});
    for (int attempt = 0; attempt < 10 && tool.state() != QProcess::NotRunning; ++attempt) {
        QProcess keys;
        keys.start(escape.front(), escape.mid(1));
        ASSERT_TRUE(keys.waitForFinished(10000));
        tool.waitForFinished(1000);
    }
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(QFile::exists(target)) << "a cancel leaves no file";
}

TEST_F(WaylandCaptureTest, WindowIsPickedByAClickFromSwaysWindowList) {
    ASSERT_TRUE(session.sway(u"for_window [app_id=\"shotlark-test-window\"] floating enable"_s));
    start(window, {QStringLiteral(SHOTLARK_TEST_WINDOW), u"#cc3311"_s, u"400"_s, u"300"_s});
    ASSERT_TRUE(shown(u"shotlark-test-window"_s));
    QThread::msleep(200);
    startPointer();
    startTool({u"-i"_s, u"-W"_s}, true);
    // A floating window is centred: 440,210 to 840,510.
    click({640, 360});
    ASSERT_EQ(finish(), 0) << tool.readAllStandardError();
    const QImage shot(target);
    EXPECT_EQ(shot.size(), QSize(400, 300));
    EXPECT_EQ(shot.pixelColor(200, 150), QColor(0xcc, 0x33, 0x11));
    EXPECT_EQ(shot.pixelColor(1, 1), QColor(0xcc, 0x33, 0x11));

    // The desktop beside it is no window: nothing is taken.
    QFile::remove(target);
    startTool({u"-i"_s, u"-W"_s}, true);
    click({100, 100});
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(QFile::exists(target));
}

} // namespace

namespace {
class NoPortalCaptureTest : public WaylandCaptureTest {
protected:
    NoPortalCaptureTest() { withPortals = false; }
};
} // namespace

// A desktop without the portal: the tool says so with its own exit status, for the app's alert.
TEST_F(NoPortalCaptureTest, NoPortalEndsWithItsOwnStatus) {
    startTool({u"-D"_s, u"1"_s}, false);
    EXPECT_EQ(finish(), 69);
    EXPECT_TRUE(tool.readAllStandardError().contains("no screenshot portal"));
    EXPECT_FALSE(QFile::exists(target));
}
