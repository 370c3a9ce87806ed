// The real app in a Wayland session, against the reference server: its tray icon and
// notifications on the session bus, screenshots through the portal, the link on the clipboard
// as another client (wl-paste) reads it although the app has no focused window, and the
// clipboard's text uploaded.
#include "WaylandAppFixture.h"

#include <QFile>
#include <QTest>

using namespace shotlark;
using namespace shotlark::test;

namespace {

TEST_F(WaylandAppTest, ScreenshotsAndClipboardWithoutAFocusedWindow) {
    showKnownPicture();
    startApp();

    // The whole screen through the portal; the link on the clipboard for other clients.
    action(QStringLiteral("screen"));
    const QString screen = nextNotification(QStringLiteral("Uploaded, link copied"));
    ASSERT_TRUE(screen.startsWith(url)) << screen.toStdString();
    EXPECT_EQ(clipboard(), screen);
    const QImage shot = QImage::fromData(fetch(screen));
    ASSERT_EQ(shot.size(), QSize(width, height));
    EXPECT_EQ(wrongKnownPixels(shot, {0, 0}), 0);

    // A region dragged on the frozen picture.
    startPointer();
    action(QStringLiteral("region"));
    ASSERT_TRUE(shown(QStringLiteral("shotlark-screencapture")));
    QThread::msleep(200);
    drag({200, 100}, {520, 340});
    const QString region = nextNotification(QStringLiteral("Uploaded, link copied"));
    EXPECT_EQ(clipboard(), region);
    const QImage part = QImage::fromData(fetch(region));
    EXPECT_EQ(part.size(), QSize(320, 240));
    EXPECT_EQ(wrongKnownPixels(part, {200, 100}), 0);

    // Text another client copied is read and uploaded.
    run({QStringLiteral("wl-copy")}, "copied on Wayland");
    action(QStringLiteral("clipboard"));
    const QString text = nextNotification(QStringLiteral("Uploaded, link copied"));
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
    action(QStringLiteral("screen"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return log().contains(QStringLiteral("Install xdg-desktop-portal")); }, 10000))
        << log().toStdString();
    EXPECT_EQ(log().count(QStringLiteral("Screen Recording permission needed")), 1);

    // Recording: the same alert, naming the screen cast portal.
    action(QStringLiteral("record"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return log().contains(QStringLiteral("through the desktop\u2019s screen cast portal"));
        },
        10000))
        << log().toStdString();
    EXPECT_EQ(log().count(QStringLiteral("Screen Recording permission needed")), 2);
    EXPECT_TRUE(notifications.received.isEmpty()) << "nothing uploaded";
}
