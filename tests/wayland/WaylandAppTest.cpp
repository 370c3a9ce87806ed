// The real app in a Wayland session, against the reference server: its tray icon and
// notifications on the session bus, screenshots through the portal, the link on the clipboard
// as another client (wl-paste) reads it although the app has no focused window, and the
// clipboard's text uploaded.
#include "WaylandAppFixture.h"
#include "support/Prelude.h"

namespace {

TEST_F(WaylandAppTest, ScreenshotsAndClipboardWithoutAFocusedWindow) {
    showKnownPicture();
    startApp();

    // The whole screen through the portal; the link on the clipboard for other clients.
    action(u"screen"_s);
    const QString screen = nextNotification(u"Uploaded, link copied"_s);
    ASSERT_TRUE(screen.startsWith(url)) << screen;
    EXPECT_EQ(clipboard(), screen);
    const QImage shot = QImage::fromData(fetch(screen));
    ASSERT_EQ(shot.size(), QSize(width, height));
    EXPECT_EQ(wrongKnownPixels(shot, {0, 0}), 0);

    // A region dragged on the frozen picture.
    startPointer();
    action(u"region"_s);
    ASSERT_TRUE(shown(u"shotlark-screencapture"_s));
    QThread::msleep(200);
    drag({200, 100}, {520, 340});
    const QString region = nextNotification(u"Uploaded, link copied"_s);
    EXPECT_EQ(clipboard(), region);
    const QImage part = QImage::fromData(fetch(region));
    EXPECT_EQ(part.size(), QSize(320, 240));
    EXPECT_EQ(wrongKnownPixels(part, {200, 100}), 0);

    // Text another client copied is read and uploaded.
    run({u"wl-copy"_s}, "copied on Wayland");
    action(u"clipboard"_s);
    const QString text = nextNotification(u"Uploaded, link copied"_s);
    EXPECT_EQ(fetch(text), "copied on Wayland");
    EXPECT_EQ(clipboard(), text);
}

} // namespace

namespace {
class NoPortalAppTest : public WaylandAppTest {
protected:
    NoPortalAppTest() { withPortals = false; }
};
} // namespace

TEST_F(NoPortalAppTest, WithoutThePortalOneAlertSaysWhatToInstall) {
    startApp();
    action(u"screen"_s);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return log().contains(u"Install xdg-desktop-portal"_s); }, 10000))
        << log();
    EXPECT_EQ(log().count(u"Screen Recording permission needed"_s), 1);

    // Recording: the same alert, naming the screen cast portal.
    action(u"record"_s);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return log().contains(u"through the desktop\u2019s screen cast portal"_s); }, 10000))
        << log();
    EXPECT_EQ(log().count(u"Screen Recording permission needed"_s), 2);
    EXPECT_TRUE(notifications.received.isEmpty()) << "nothing uploaded";
}
