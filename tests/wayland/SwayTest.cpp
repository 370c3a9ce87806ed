// The real app on a private headless sway with the portals (wlr for screenshots, gtk for the
// access checks), against the reference server: its tray icon and notifications on the session
// bus, screenshots through the portal and chosen on our overlay (a virtual pointer, wtype as the
// keyboard), windows found in sway's window list, and the link on the
// clipboard as another client (wl-paste) reads it although the app has no focused window.
#include "store/Config.h"
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"
#include "support/WaylandSession.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString swayApp = QStringLiteral(SHOTLARK_APP_BINARY);
const QString testWindow = QStringLiteral(SHOTLARK_TEST_WINDOW);
const QString testPointer = QStringLiteral(SHOTLARK_TEST_POINTER);

class SwayTest : public testing::Test {
protected:
    static constexpr int width = 1280, height = 720;

    void SetUp() override {
        ASSERT_TRUE(session.start(width, height, withPortals));
        ASSERT_TRUE(notifications.registerOnBus());
        ASSERT_TRUE(tray.registerOnBus());
        reference = ReferenceServer::start(session.userDirectory(u"server"_s));
        ASSERT_TRUE(reference.process);
        reference.connect();
        Config::shared().setBool(keys::copyDirectLink, true);
        Config::shared().setBool(keys::compressScreenshots, false);
        // Written by the test, read (and written) by the app as the session's user.
        session.giveToUser(qEnvironmentVariable("XDG_CONFIG_HOME"));
        session.giveToUser(qEnvironmentVariable("HOME"));
        logFile = session.userDirectory(u"log"_s) + u"/stderr.txt"_s;
        ASSERT_TRUE(session.start(app, {swayApp}, logFile));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tray.itemService().isEmpty(); }, 20000))
            << "no tray icon: " << log();
    }

    void TearDown() override {
        for (QProcess* process : {&app, &known, &coloured, &pointer}) {
            process->kill();
            process->waitForFinished();
        }
    }

    void start(QProcess& process, const QStringList& argv) {
        ASSERT_TRUE(session.start(process, argv));
    }
    QByteArray runAs(const QStringList& argv, const QByteArray& input = {}) {
        return session.output(argv, input);
    }

    QString log() const { return QString::fromUtf8(readTestFile(logFile)); }
    void action(const QString& name) { runAs({swayApp, u"--action"_s, name}); }
    QString clipboard() { return QString::fromUtf8(runAs({u"wl-paste"_s, u"--no-newline"_s})); }
    QByteArray fetch(const QString& link) { return runAs({u"curl"_s, u"-sSf"_s, link}); }

    // The next notification's body (an upload's link), once it came with `summary`.
    QString nextNotification(const QString& summary) {
        const qsizetype count = seen + 1;
        EXPECT_TRUE(QTest::qWaitFor([&] { return notifications.received.size() >= count; }, 20000))
            << log();
        if (notifications.received.size() < count)
            return QString();
        const ReceivedNotification& got = notifications.received[seen++];
        EXPECT_EQ(got.summary, summary) << got.body;
        return got.body;
    }

    // Whether sway shows a window whose app_id is `appId`: now, or within a few seconds.
    bool showsNow(const QString& appId) {
        return runAs({u"swaymsg"_s, u"-t"_s, u"get_tree"_s})
            .contains("\"app_id\": \"" + appId.toUtf8() + '"');
    }
    bool shown(const QString& appId) {
        return QTest::qWaitFor([&] { return showsNow(appId); }, 10000);
    }

    // The overlay of shotlark-screencapture, up and ready for the pointer.
    bool overlayShown() {
        const bool up = shown(u"shotlark-screencapture"_s);
        QTest::qWait(300);
        return up;
    }

    // A pointer to drive (a headless session has none of its own): "move X Y", "press",
    // "release", each answered once the compositor has seen it.
    void drive(const QStringList& commands) {
        if (pointer.state() == QProcess::NotRunning) {
            start(pointer, {testPointer, QString::number(width), QString::number(height)});
            ASSERT_TRUE(pointer.waitForReadyRead(10000));
            ASSERT_EQ(pointer.readLine().trimmed(), "ready");
        }
        for (const QString& command : commands) {
            pointer.write(command.toUtf8() + '\n');
            ASSERT_TRUE(pointer.waitForReadyRead(5000)) << command;
            EXPECT_EQ(pointer.readLine().trimmed(), "ok");
            QTest::qWait(30);
        }
    }

    static QString moveTo(QPoint at) { return u"move %1 %2"_s.arg(at.x()).arg(at.y()); }

    void drag(QPoint from, QPoint to) {
        drive({moveTo(from), u"press"_s, moveTo((from + to) / 2), moveTo(to), u"release"_s});
    }

    void click(QPoint at) { drive({moveTo(at), u"press"_s, u"release"_s}); }

    // Every 37th pixel of `shot` that differs from the known picture at `origin` (by more than
    // the rounding of a pointer sprite's transparent pixels blended over it).
    static int wrongKnownPixels(const QImage& shot, QPoint origin) {
        int wrong = 0;
        for (int y = 0; y < shot.height(); y += 37) {
            for (int x = 0; x < shot.width(); x += 37) {
                const QColor got = shot.pixelColor(x, y);
                const QColor want = knownPixel(origin.x() + x, origin.y() + y, width, height);
                wrong += std::abs(got.red() - want.red()) > 2 ||
                         std::abs(got.green() - want.green()) > 2 ||
                         std::abs(got.blue() - want.blue()) > 2;
            }
        }
        return wrong;
    }

    bool withPortals = true; // set before SetUp
    WaylandSession session;
    TestNotificationServer notifications;
    TestTrayHost tray;
    ReferenceServer reference;
    QString logFile;
    QProcess app, known, coloured, pointer;
    qsizetype seen = 0;
};

} // namespace

TEST_F(SwayTest, ScreenshotsRegionsWindowsAndTheClipboardWithoutAFocusedWindow) {
    start(known, {testWindow, u"known"_s});
    ASSERT_TRUE(shown(u"shotlark-test-window"_s));
    QTest::qWait(200); // its first frame

    // The whole screen through the portal; the link on the clipboard for other clients.
    action(u"screen"_s);
    const QString screen = nextNotification(u"Uploaded, link copied"_s);
    ASSERT_TRUE(screen.startsWith(reference.url)) << screen;
    EXPECT_EQ(clipboard(), screen);
    const QImage shot = QImage::fromData(fetch(screen));
    ASSERT_EQ(shot.size(), QSize(width, height));
    EXPECT_FALSE(shot.hasAlphaChannel());
    EXPECT_EQ(wrongKnownPixels(shot, {0, 0}), 0);

    // A region dragged on the frozen picture.
    action(u"region"_s);
    ASSERT_TRUE(overlayShown());
    drag({200, 100}, {520, 340});
    const QString region = nextNotification(u"Uploaded, link copied"_s);
    EXPECT_EQ(clipboard(), region);
    const QImage part = QImage::fromData(fetch(region));
    EXPECT_EQ(part.size(), QSize(320, 240));
    EXPECT_EQ(wrongKnownPixels(part, {200, 100}), 0);

    // The same region as a picture, onto the clipboard and not uploaded.
    ASSERT_TRUE(TrayMenu::of(tray.items().last()).click({u"Copy Region to Clipboard"_s}));
    ASSERT_TRUE(overlayShown());
    drag({200, 100}, {520, 340});
    nextNotification(u"Picture copied"_s);
    const QImage copied =
        QImage::fromData(runAs({u"wl-paste"_s, u"--type"_s, u"image/png"_s}), "PNG");
    EXPECT_EQ(copied.size(), QSize(320, 240));
    EXPECT_EQ(wrongKnownPixels(copied, {200, 100}), 0);

    // Marked up on Wayland: an arrow (the first tool) drawn with the pointer, uploaded with
    // Enter. The editor's keyboard, like the overlay's, may come a moment after it is shown.
    action(u"annotate"_s);
    ASSERT_TRUE(overlayShown());
    drag({200, 100}, {520, 340});
    QTest::qWait(500);
    drag({240, 140}, {400, 260});
    for (int attempt = 0; attempt < 10 && notifications.received.size() == seen; ++attempt) {
        runAs({u"wtype"_s, u"-s"_s, u"400"_s, u"-k"_s, u"Return"_s});
        QTest::qWait(500);
    }
    const QImage marked = QImage::fromData(fetch(nextNotification(u"Uploaded, link copied"_s)));
    ASSERT_EQ(marked.size(), QSize(320, 240));
    EXPECT_EQ(marked.pixelColor(120, 100), QColor(0xe5, 0x39, 0x35)) << "the arrow's shaft";
    EXPECT_EQ(wrongKnownPixels(marked.copy(0, 0, 320, 30), {200, 100}), 0) << "nothing else";

    // Escape cancels; nothing is uploaded. wtype's keyboard exists only while it runs: it waits
    // before the key so that the overlay has taken up the new keyboard, and presses again if the
    // key still came too early.
    action(u"region"_s);
    ASSERT_TRUE(overlayShown());
    for (int attempt = 0; attempt < 10 && showsNow(u"shotlark-screencapture"_s); ++attempt)
        runAs({u"wtype"_s, u"-s"_s, u"400"_s, u"-k"_s, u"Escape"_s});
    QTest::qWait(1000);
    EXPECT_EQ(notifications.received.size(), seen);

    // A window, found in sway's own list, by a click (a floating one is centred: 440,210 to
    // 840,510); the desktop beside it is no window, and nothing is taken.
    known.kill();
    ASSERT_TRUE(session.sway(u"for_window [app_id=\"shotlark-test-window\"] floating enable"_s));
    start(coloured, {testWindow, u"#cc3311"_s, u"400"_s, u"300"_s});
    ASSERT_TRUE(shown(u"shotlark-test-window"_s));
    QTest::qWait(200);
    action(u"window"_s);
    ASSERT_TRUE(overlayShown());
    click({640, 360});
    const QImage picked = QImage::fromData(fetch(nextNotification(u"Uploaded, link copied"_s)));
    EXPECT_EQ(picked.size(), QSize(400, 300));
    EXPECT_EQ(picked.pixelColor(1, 1), QColor(0xcc, 0x33, 0x11));
    action(u"window"_s);
    ASSERT_TRUE(overlayShown());
    click({100, 100});
    QTest::qWait(1000);
    EXPECT_EQ(notifications.received.size(), seen);

    // A left click on the tray icon, as a status bar reports it (Activate at the pointer), opens
    // the menu as a window (a popup can't be placed at the pointer on Wayland); Escape closes it.
    QDBusMessage activate =
        QDBusMessage::createMethodCall(tray.items().last(), u"/StatusNotifierItem"_s,
                                       u"org.kde.StatusNotifierItem"_s, u"Activate"_s);
    activate << 1200 << 10;
    QDBusConnection::sessionBus().call(activate, QDBus::NoBlock);
    ASSERT_TRUE(shown(u"shotlark"_s)) << log();
    // A bare menu would be tiled over the whole screen.
    const std::function<QJsonObject(const QJsonObject&)> find = [&](const QJsonObject& node) {
        if (node[u"app_id"_s] == u"shotlark"_s)
            return node;
        for (const char16_t* list : {u"nodes", u"floating_nodes"})
            for (const QJsonValue child : node[QString::fromUtf16(list)].toArray())
                if (const QJsonObject found = find(child.toObject()); !found.isEmpty())
                    return found;
        return QJsonObject();
    };
    const QJsonObject menuWindow =
        find(QJsonDocument::fromJson(runAs({u"swaymsg"_s, u"-t"_s, u"get_tree"_s})).object());
    EXPECT_EQ(menuWindow[u"type"_s].toString(), u"floating_con"_s);
    EXPECT_LT(menuWindow[u"rect"_s][u"width"_s].toInt(), 600);
    for (int attempt = 0; attempt < 10 && showsNow(u"shotlark"_s); ++attempt)
        runAs({u"wtype"_s, u"-s"_s, u"400"_s, u"-k"_s, u"Escape"_s});
    EXPECT_FALSE(showsNow(u"shotlark"_s));

    // Text another client copied is read and uploaded.
    runAs({u"wl-copy"_s}, "copied on Wayland");
    action(u"clipboard"_s);
    const QString text = nextNotification(u"Uploaded, link copied"_s);
    EXPECT_EQ(fetch(text), "copied on Wayland");
    EXPECT_EQ(clipboard(), text);
}

namespace {
class NoPortalSwayTest : public SwayTest {
protected:
    NoPortalSwayTest() { withPortals = false; }
};
} // namespace

TEST_F(NoPortalSwayTest, WithoutThePortalOneAlertSaysWhatToInstall) {
    action(u"screen"_s);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return log().contains(u"Install xdg-desktop-portal"_s); }, 10000))
        << log();
    EXPECT_EQ(log().count(u"Screenshot portal needed"_s), 1);

    // Recording: the same alert, naming the screen cast portal.
    action(u"record"_s);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return log().contains(u"through the desktop\u2019s screen cast portal"_s); }, 10000))
        << log();
    EXPECT_EQ(log().count(u"Screen cast portal needed"_s), 1);
    EXPECT_TRUE(notifications.received.isEmpty()) << "nothing uploaded";
}
