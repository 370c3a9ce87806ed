// shotlark-screencapture in a Wayland session: the picture comes from the desktop's Screenshot
// portal, regions and windows are chosen on our own overlay, driven by a virtual pointer and
// virtual keys as a user would.
#include "support/KnownPicture.h"
#include "support/QtPrinters.h"
#include "support/WaylandSession.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QThread>

using namespace shotlark::test;

namespace {

constexpr int width = 1280, height = 720;

class WaylandCaptureTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.start(width, height));
        out = session.userDirectory(QStringLiteral("out"));
        target = out + QStringLiteral("/shot.png");
    }

    void TearDown() override {
        for (QProcess* process : {&tool, &window, &pointer}) {
            process->kill();
            process->waitForFinished();
        }
    }

    void start(QProcess& process, const QStringList& argv) {
        const QStringList command = session.asUser(argv);
        process.start(command.front(), command.mid(1));
        ASSERT_TRUE(process.waitForStarted());
    }

    // Whether sway shows a window whose app_id is `appId`.
    bool shown(const QString& appId) {
        QElapsedTimer clock;
        clock.start();
        const QStringList command = session.asUser(
            {QStringLiteral("swaymsg"), QStringLiteral("-t"), QStringLiteral("get_tree")});
        while (clock.elapsed() < 10000) {
            QProcess swaymsg;
            swaymsg.start(command.front(), command.mid(1));
            swaymsg.waitForFinished();
            if (swaymsg.readAllStandardOutput().contains("\"app_id\": \"" + appId.toUtf8() + '"'))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    void showKnownPicture() {
        start(window, {QStringLiteral(SHOTLARK_TEST_WINDOW), QStringLiteral("known")});
        ASSERT_TRUE(shown(QStringLiteral("shotlark-test-window")));
        QThread::msleep(200); // its first frame
    }

    void startPointer() {
        start(pointer, {QStringLiteral(SHOTLARK_TEST_POINTER), QString::number(width),
                        QString::number(height)});
        ASSERT_TRUE(pointer.waitForReadyRead(10000));
        ASSERT_EQ(pointer.readLine().trimmed(), "ready");
    }

    void drive(const QByteArray& command) {
        pointer.write(command + '\n');
        ASSERT_TRUE(pointer.waitForReadyRead(5000)) << command.toStdString();
        EXPECT_EQ(pointer.readLine().trimmed(), "ok");
        QThread::msleep(30);
    }

    void startTool(const QStringList& args, bool overlay) {
        start(tool, QStringList{QStringLiteral(SHOTLARK_CAPTURE_TOOL), QStringLiteral("-x")} +
                        args + QStringList{target});
        if (overlay) {
            ASSERT_TRUE(shown(QStringLiteral("shotlark-screencapture")));
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

    int wrongKnownPixels(const QImage& shot, QPoint origin) {
        int wrong = 0;
        for (int y = 0; y < shot.height(); y += 37) {
            for (int x = 0; x < shot.width(); x += 37)
                wrong += shot.pixelColor(x, y) !=
                         knownPixel(origin.x() + x, origin.y() + y, width, height);
        }
        return wrong;
    }

    WaylandSession session;
    QString out, target;
    QProcess tool, window, pointer;
};

TEST_F(WaylandCaptureTest, WholeScreenComesFromThePortalUnchanged) {
    showKnownPicture();
    startTool({QStringLiteral("-D"), QStringLiteral("1")}, false);
    ASSERT_EQ(finish(), 0) << tool.readAllStandardError().toStdString();
    const QImage shot(target);
    ASSERT_EQ(shot.size(), QSize(width, height));
    EXPECT_FALSE(shot.hasAlphaChannel());
    EXPECT_EQ(wrongKnownPixels(shot, {0, 0}), 0);

    startTool({QStringLiteral("-D"), QStringLiteral("2")}, false);
    EXPECT_NE(finish(), 0);
    EXPECT_TRUE(tool.readAllStandardError().contains("no such display"));
}

TEST_F(WaylandCaptureTest, RegionIsDraggedOnTheFrozenPictureAndEscapeCancels) {
    showKnownPicture();
    startPointer();
    startTool({QStringLiteral("-i")}, true);
    drive("move 100 120");
    drive("press");
    drive("move 200 200");
    drive("move 340 300");
    drive("release");
    ASSERT_EQ(finish(), 0) << tool.readAllStandardError().toStdString();
    const QImage shot(target);
    EXPECT_EQ(shot.size(), QSize(240, 180));
    EXPECT_EQ(wrongKnownPixels(shot, {100, 120}), 0);

    QFile::remove(target);
    startTool({QStringLiteral("-i")}, true);
    // wtype's keyboard exists only while it runs: it waits before the key so that the overlay
    // has taken up the new keyboard, and presses again if the key still came too early.
    const QStringList escape =
        session.asUser({QStringLiteral("wtype"), QStringLiteral("-s"), QStringLiteral("400"),
                        QStringLiteral("-k"), QStringLiteral("Escape")});
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
    ASSERT_TRUE(session.sway(
        QStringLiteral("for_window [app_id=\"shotlark-test-window\"] floating enable")));
    start(window, {QStringLiteral(SHOTLARK_TEST_WINDOW), QStringLiteral("#cc3311"),
                   QStringLiteral("400"), QStringLiteral("300")});
    ASSERT_TRUE(shown(QStringLiteral("shotlark-test-window")));
    QThread::msleep(200);
    startPointer();
    startTool({QStringLiteral("-i"), QStringLiteral("-W")}, true);
    // A floating window is centred: 440,210 to 840,510.
    drive("move 640 360");
    drive("press");
    drive("release");
    ASSERT_EQ(finish(), 0) << tool.readAllStandardError().toStdString();
    const QImage shot(target);
    EXPECT_EQ(shot.size(), QSize(400, 300));
    EXPECT_EQ(shot.pixelColor(200, 150), QColor(0xcc, 0x33, 0x11));
    EXPECT_EQ(shot.pixelColor(1, 1), QColor(0xcc, 0x33, 0x11));

    // The desktop beside it is no window: nothing is taken.
    QFile::remove(target);
    startTool({QStringLiteral("-i"), QStringLiteral("-W")}, true);
    drive("move 100 100");
    drive("press");
    drive("release");
    EXPECT_EQ(finish(), 0);
    EXPECT_FALSE(QFile::exists(target));
}

} // namespace
