// The real app on the desktops most people run, headless with their own portals: stock GNOME
// Shell (no tray, so the menu is a window; notifications by the shell; screenshots from GNOME's
// portal checked against the shell's own picture of the screen) and KDE Plasma's KWin (global
// shortcuts bound by the desktop at the start, as Plasma 5.27 binds them).
#include "store/Config.h"
#include "store/History.h"
#include "support/Isolation.h"
#include "support/MovieFrames.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"
#include "support/WaylandSession.h"

#include <QImage>

namespace {

const QString appProgram = QStringLiteral(SHOTLARK_APP_BINARY);
const QString testWindowProgram = QStringLiteral(SHOTLARK_TEST_WINDOW);

// The app against the reference server in a session the subclass starts first.
class RealDesktopTest : public testing::Test {
protected:
    void connect() {
        serverData = session.userDirectory(u"server"_s);
        reference = ReferenceServer::start(serverData);
        ASSERT_TRUE(reference.process);
        reference.connect();
        Config::shared().setBool(keys::compressScreenshots, false);
        session.giveToUser(qEnvironmentVariable("XDG_CONFIG_HOME"));
        session.giveToUser(qEnvironmentVariable("HOME"));
        logFile = session.userDirectory(u"log"_s) + u"/stderr.txt"_s;
    }

    void TearDown() override {
        app.terminate();
        if (!app.waitForFinished(5000))
            app.kill();
    }

    void startApp() { ASSERT_TRUE(session.start(app, {appProgram}, logFile)); }

    QString log() const { return QString::fromUtf8(readTestFile(logFile)); }

    WaylandSession session;
    ReferenceServer reference;
    QString serverData, logFile;
    QProcess app;
};

// The shell's own picture of the screen. It takes one only for a few callers, known by the bus
// name they own; this script owns one of them.
const QString shellScreenshot = uR"(import sys, gi
gi.require_version('Gio', '2.0')
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
owned = []
Gio.bus_own_name_on_connection(bus, 'org.gnome.Screenshot', 0, lambda *a: owned.append(1), None)
while not owned:
    GLib.MainContext.default().iteration(True)
bus.call_sync('org.gnome.Shell.Screenshot', '/org/gnome/Shell/Screenshot',
              'org.gnome.Shell.Screenshot', 'Screenshot',
              GLib.Variant('(bbs)', (False, False, sys.argv[1])), None, 0, 10000, None)
)"_s;

// Input through mutter's remote desktop API, as a person at the keyboard and mouse would give it:
// "key HEX" presses a keysym, "click X Y" the left button at a point of the screen, "drag X Y X2
// Y2" moves with it held, "move X Y" and "by DX DY" only move, "press" clicks where the pointer
// is. The session lives as long as the connection that made it.
const QString gnomeInput = uR"(import sys, time, gi
gi.require_version('Gio', '2.0')
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
rd = 'org.gnome.Mutter.RemoteDesktop'
path = bus.call_sync(rd, '/org/gnome/Mutter/RemoteDesktop', rd, 'CreateSession', None,
                     GLib.VariantType('(o)'), 0, 5000, None).unpack()[0]
def call(method, *args, signature=None):
    bus.call_sync(rd, path, rd + '.Session', method,
                  GLib.Variant(signature, args) if signature else None, None, 0, 5000, None)
    time.sleep(0.05)
call('Start')
def move(dx, dy):
    call('NotifyPointerMotionRelative', float(dx), float(dy), signature='(dd)')
def button(down):
    call('NotifyPointerButton', 272, down, signature='(ib)')
words = sys.argv[1:]
while words:
    word = words.pop(0)
    if word == 'key':
        keysym = int(words.pop(0), 16)
        for down in (True, False):
            call('NotifyKeyboardKeysym', keysym, down, signature='(ub)')
    elif word == 'by':
        move(words.pop(0), words.pop(0))
    elif word == 'press':
        button(True)
        button(False)
    else:  # from the top-left corner, where the pointer stops
        move(-5000, -5000)
        x, y = float(words.pop(0)), float(words.pop(0))
        move(x, y)
        if word == 'click':
            words.insert(0, 'press')
        elif word == 'drag':
            dx, dy = float(words.pop(0)) - x, float(words.pop(0)) - y
            button(True)
            for step in range(8):
                move(dx / 8, dy / 8)
            button(False)
call('Stop')
)"_s;

// The middle of the default button of a dialog on `screen`: a button-wide run of the highlight
// colour its frame is drawn in (a dialog of ours, whose window GNOME doesn't focus).
QPoint defaultButton(const QImage& screen) {
    const auto frame = [&](int x, int y) {
        const QColor c = screen.pixelColor(x, y);
        return std::abs(c.red() - 38) < 4 && std::abs(c.green() - 112) < 4 &&
               std::abs(c.blue() - 158) < 4;
    };
    for (int y = 0; y < screen.height(); ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            int run = 0;
            while (x + run < screen.width() && frame(x + run, y))
                ++run;
            if (run >= 40 && run <= 160) {
                int bottom = y + 1; // the frame's left edge goes down to its bottom
                while (bottom < screen.height() && frame(x - 1, bottom))
                    ++bottom;
                return QPoint(x + run / 2, (y + bottom) / 2);
            }
            x += run;
        }
    }
    return QPoint();
}

// The share of sampled pixels from row `top` down that differ between two pictures of a size.
double differing(const QImage& a, const QImage& b, int top) {
    int compared = 0, different = 0;
    for (int y = top; y < a.height(); y += 23) {
        for (int x = 0; x < a.width(); x += 23) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            ++compared;
            different += std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) +
                             std::abs(p.blue() - q.blue()) >
                         12;
        }
    }
    return compared ? double(different) / compared : 1;
}

class GnomeTest : public RealDesktopTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.startGnome(1280, 720, keyboard));
        input({u"key"_s, u"ff1b"_s}); // Escape: the shell starts in its overview
        connect();
    }

    void input(const QStringList& words) {
        session.runAsUser(QStringList{u"/usr/bin/python3"_s, u"-c"_s, gnomeInput} + words);
    }

    // What GNOME's portal keeps of the user's answer to its screenshot question.
    QString screenshotPermission() const {
        return session.call({u"-d"_s, u"org.freedesktop.impl.portal.PermissionStore"_s, u"-o"_s,
                             u"/org/freedesktop/impl/portal/PermissionStore"_s, u"-m"_s,
                             u"org.freedesktop.impl.portal.PermissionStore.Lookup"_s,
                             u"screenshot"_s, u"screenshot"_s});
    }

    bool keyboard = false;

    QImage shellPicture() {
        const QString file = session.userDirectory(u"truth"_s) + u"/screen.png"_s;
        session.runAsUser({u"/usr/bin/python3"_s, u"-c"_s, shellScreenshot, file});
        return QImage(file);
    }
};

} // namespace

TEST_F(GnomeTest, NoTrayMenuWindowAndTheRealScreenInScreenshots) {
    // Stock GNOME shows no tray icons: the app opens its menu as a window, saying how to get one.
    startApp();
    ASSERT_TRUE(QTest::qWaitFor([] { return Config().boolValue(keys::trayHintShown); }, 20000))
        << log();
    QTest::qWait(1500); // the window's opening animation

    // The notifications the shell is sent.
    QProcess notifications;
    ASSERT_TRUE(session.start(notifications,
                              {u"dbus-monitor"_s, u"--session"_s,
                               u"interface='org.freedesktop.Notifications',member='Notify'"_s}));
    QString sent;
    const auto notified = [&](const QString& summary) {
        return QTest::qWaitFor(
            [&] {
                sent += QString::fromUtf8(notifications.readAllStandardOutput());
                return sent.contains(u"string \""_s + summary + u'"');
            },
            10000);
    };

    // The whole screen through GNOME's portal, as the shell sees it. The first time, the app
    // asks (in a window of its own: GNOME's portal may not ask an app without one) and keeps the
    // answer where GNOME keeps its own; the portal then asks nothing.
    EXPECT_FALSE(screenshotPermission().contains(u"'yes'"_s));
    session.runAsUser({appProgram, u"--action"_s, u"screen"_s});
    QTest::qWait(1500);
    const QPoint allow = defaultButton(shellPicture());
    ASSERT_FALSE(allow.isNull()) << "no question on screen; " << log();
    input({u"click"_s, QString::number(allow.x()), QString::number(allow.y())});
    ASSERT_TRUE(QTest::qWaitFor([&] { return screenshotPermission().contains(u"'yes'"_s); }, 10000))
        << log();
    ASSERT_TRUE(QTest::qWaitFor([] { return History::entries(Config()).size() == 1; }, 30000))
        << log();
    const QImage truth = shellPicture();
    const QStringList stored = QDir(serverData + u"/files"_s).entryList(QDir::Files);
    ASSERT_EQ(stored.size(), 1);
    const QImage shot(serverData + u"/files/"_s + stored.front());
    ASSERT_EQ(shot.size(), QSize(1280, 720));
    ASSERT_EQ(truth.size(), shot.size());
    // Below the top bar and the notifications' banners (the clock, the upload's own banner),
    // right of the menu's window (it shows the new upload by now).
    EXPECT_LT(differing(shot.copy(420, 0, 860, 720), truth.copy(420, 0, 860, 720), 120), 0.01)
        << log();

    // With the menu's window closed (Escape) nothing of ours has the focus. The headless shell
    // has no keyboard, so it gives the clipboard to nobody: the link is "ready", with a Copy
    // button, and never said to be copied. Nothing is asked.
    input({u"key"_s, u"ff1b"_s});
    QTest::qWait(500);
    notifications.readAllStandardOutput(); // the first upload's
    sent.clear();
    session.runAsUser({appProgram, u"--action"_s, u"screen"_s});
    EXPECT_TRUE(notified(u"Uploaded, link ready"_s)) << sent << log();
    EXPECT_TRUE(sent.contains(u"string \"Copy\""_s)) << sent;
    EXPECT_FALSE(sent.contains(u"copied"_s)) << sent;
    EXPECT_EQ(History::entries(Config()).size(), 2);
    // Its Copy button (under the pointer the banner shows it) tries again, and says so when the
    // desktop still refuses.
    sent.clear();
    input({u"move"_s, u"640"_s, u"60"_s});
    QTest::qWait(800);
    input({u"by"_s, u"0"_s, u"72"_s, u"press"_s});
    EXPECT_TRUE(notified(u"Not copied"_s)) << sent << log();

    // A region dragged on our overlay over the frozen desktop (GNOME's own picker is not used),
    // across the edge of the menu's window, brought back by a plain start.
    session.runAsUser({appProgram});
    QTest::qWait(1500);
    const QImage desktop = shellPicture();
    session.runAsUser({appProgram, u"--action"_s, u"region"_s});
    QTest::qWait(2500); // the desktop's picture, then the overlay on top
    input({u"drag"_s, u"200"_s, u"150"_s, u"520"_s, u"390"_s});
    ASSERT_TRUE(QTest::qWaitFor([] { return History::entries(Config()).size() == 3; }, 30000))
        << log();
    const QStringList regions =
        QDir(serverData + u"/files"_s).entryList(QDir::Files, QDir::Time); // newest first
    const QImage region(serverData + u"/files/"_s + regions.front());
    ASSERT_EQ(region.size(), QSize(320, 240));
    EXPECT_LT(differing(region, desktop.copy(200, 150, 320, 240), 0), 0.01)
        << "the desktop under the area, not the overlay's dimming";
    notifications.kill();
    notifications.waitForFinished();
}

namespace {

class GnomeWithKeyboardTest : public GnomeTest {
protected:
    GnomeWithKeyboardTest() { keyboard = true; }
};

} // namespace

// With a keyboard, as GNOME runs on a real machine. GNOME lets only the app in front reach the
// clipboard, and ignores a change sent with an older input serial than the clipboard's: the app's
// window of a moment sets it, after another app copied with a click of its own, and reads it the
// same way. The chooser and the editor get the keys. A window is recorded at its own size.
TEST_F(GnomeWithKeyboardTest, ClipboardChooserEditorAndAWindowRecording) {
    startApp();
    ASSERT_TRUE(QTest::qWaitFor([] { return Config().boolValue(keys::trayHintShown); }, 20000))
        << log();
    QTest::qWait(1500);
    input({u"key"_s, u"ff1b"_s}); // the menu's window closes
    QProcess other;
    ASSERT_TRUE(session.start(other, {testWindowProgram, u"copy"_s, u"copied in another app"_s}));
    QTest::qWait(1500);
    input({u"click"_s, u"120"_s, u"117"_s}); // its button; the shell puts it top left
    QTest::qWait(500);

    session.runAsUser({appProgram, u"--action"_s, u"clipboard"_s});
    ASSERT_TRUE(QTest::qWaitFor([] { return History::entries(Config()).size() == 1; }, 20000))
        << log();
    const QStringList stored = QDir(serverData + u"/files"_s).entryList(QDir::Files);
    ASSERT_EQ(stored.size(), 1);
    EXPECT_EQ(readTestFile(serverData + u"/files/"_s + stored.front()), "copied in another app");

    EXPECT_EQ(QString::fromUtf8(session.output({testWindowProgram, u"paste"_s})),
              History::entries(Config()).front().url)
        << log();

    // The chooser and the editor take the keyboard like any new window (screenshots allowed as
    // GNOME keeps it): a box with the R key, Enter uploads; Escape in the chooser cancels.
    session.call({u"-d"_s, u"org.freedesktop.impl.portal.PermissionStore"_s, u"-o"_s,
                  u"/org/freedesktop/impl/portal/PermissionStore"_s, u"-m"_s,
                  u"org.freedesktop.impl.portal.PermissionStore.SetPermission"_s, u"screenshot"_s,
                  u"true"_s, u"screenshot"_s, u""_s, u"['yes']"_s});
    const QImage desktop = shellPicture();
    session.runAsUser({appProgram, u"--action"_s, u"annotate"_s});
    QTest::qWait(2500);
    // (Steps of whole pixels: the nested shell moves the pointer by integers.)
    input({u"drag"_s, u"200"_s, u"152"_s, u"600"_s, u"456"_s});
    QTest::qWait(1000);
    input({u"key"_s, u"72"_s, u"drag"_s, u"248"_s, u"200"_s, u"408"_s, u"304"_s, u"key"_s,
           u"ff0d"_s});
    ASSERT_TRUE(QTest::qWaitFor([] { return History::entries(Config()).size() == 2; }, 20000))
        << log();
    const QImage marked(serverData + u"/files/"_s +
                        QDir(serverData + u"/files"_s).entryList(QDir::Files, QDir::Time).front());
    ASSERT_EQ(marked.size(), QSize(400, 304));
    const QColor ink(0xe5, 0x39, 0x35);
    EXPECT_EQ(marked.pixelColor(48, 100), ink) << "the box's left edge";
    EXPECT_EQ(marked.pixelColor(128, 100), desktop.pixelColor(328, 252)) << "nothing inside";

    session.runAsUser({appProgram, u"--action"_s, u"region"_s});
    QTest::qWait(2500);
    input({u"key"_s, u"ff1b"_s});
    QTest::qWait(1000);
    // Below the notifications' banners, the desktop as it was: not dimmed by a chooser.
    EXPECT_LT(differing(shellPicture().copy(0, 360, 1280, 360), desktop.copy(0, 360, 1280, 360), 0),
              0.01);
    EXPECT_EQ(History::entries(Config()).size(), 2);

    // A window recorded through GNOME's own dialog ("Single Window", the window, "Share"): at
    // the window's size (its stream says none), at the recorder's frame rate.
    const QImage screen = shellPicture();
    session.runAsUser({appProgram, u"--action"_s, u"record"_s});
    QTest::qWait(2500);
    input({u"click"_s, u"568"_s, u"248"_s});
    QTest::qWait(1000);
    input({u"click"_s, u"640"_s, u"401"_s, u"click"_s, u"852"_s, u"248"_s});
    QTest::qWait(3000);
    session.runAsUser({appProgram, u"--action"_s, u"record"_s});
    ASSERT_TRUE(QTest::qWaitFor([] { return History::entries(Config()).size() == 3; }, 30000))
        << log();
    const QString movie = serverData + u"/files/"_s +
                          QDir(serverData + u"/files"_s).entryList(QDir::Files, QDir::Time).front();
    const Probed probed = probe(movie);
    // The window as the shell shows it (200 × 100, with Qt's frame where Qt draws one): what
    // isn't the desktop's colour, left of the notifications' banners.
    QRect window;
    const QColor backdrop = screen.pixelColor(1000, 600);
    for (int y = 40; y < 300; ++y) {
        for (int x = 0; x < 380; ++x) {
            const QColor c = screen.pixelColor(x, y);
            if (std::abs(c.red() - backdrop.red()) + std::abs(c.blue() - backdrop.blue()) > 12)
                window |= QRect(x, y, 1, 1);
        }
    }
    EXPECT_NEAR(probed.width, window.width(), 2); // a frame's edge may be near the backdrop
    EXPECT_NEAR(probed.height, window.height(), 2);
    EXPECT_GE(probed.frames, static_cast<int>(probed.duration * 30 * 0.85)) << probed.duration;
    const QImage frame = frameAt(movie, 1.0).convertToFormat(QImage::Format_RGB32);
    EXPECT_LT(differing(frame, screen.copy(QRect(window.topLeft(), frame.size())), 0), 0.05);
    other.kill();
    other.waitForFinished();
}

namespace {

class KdeTest : public RealDesktopTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.startKde(1280, 720));
        // Plasma's shell serves them on a real desktop; without one, the bus would start a
        // program that waits a minute for it.
        ASSERT_TRUE(notifications.registerOnBus());
        connect();
    }

    // The app's shortcuts as KDE's shortcut daemon keeps them.
    QString bindings() const {
        return session.call({u"-d"_s, u"org.kde.kglobalaccel"_s, u"-o"_s, u"/component/shotlark"_s,
                             u"-m"_s, u"org.kde.kglobalaccel.Component.allShortcutInfos"_s});
    }

    TestNotificationServer notifications;
};

} // namespace

TEST_F(KdeTest, HotkeysBoundAtTheStartAndScreenshotsWithoutAPicturesFolder) {
    startApp();
    // Bound under the app's name, with the keys KDE matches a shifted digit by (Ctrl+Shift+7
    // arrives as Ctrl+&: Qt's Ctrl | Key_Ampersand).
    ASSERT_TRUE(QTest::qWaitFor([&] { return bindings().contains(u"'clipboard'"_s); }, 20000))
        << log();
    EXPECT_TRUE(bindings().contains(
        u"('region', 'Capture region', 'shotlark', 'shotlark', 'default', 'Default Context', "
        "[%1]"_s.arg(int(Qt::CTRL) | int(Qt::Key_Ampersand))))
        << bindings();
    QTest::qWait(1000);
    EXPECT_FALSE(log().contains(u"used by another app"_s)) << log();
    EXPECT_NE(run({u"pgrep"_s, u"-f"_s, u"systemsettings|kcmshell"_s}).exitCode, 0)
        << "no settings window at the start";

    // Ctrl+Shift+0 pressed on the keyboard (as KWin sees keys) runs the action.
    session.runAsUser({u"wl-copy"_s, u"pressed on KDE"_s});
    ASSERT_EQ(
        session.runAsUser({QStringLiteral(SHOTLARK_TEST_FAKE_INPUT), u"29"_s, u"42"_s, u"11"_s}),
        0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.received.isEmpty(); }, 20000)) << log();
    EXPECT_EQ(notifications.received.front().summary, u"Uploaded, link copied"_s);
    EXPECT_EQ(History::entries(Config()).size(), 1);

    // The whole screen from KDE's portal, in a home without a Pictures folder (where KDE's portal
    // saves its picture: without one it answered "cancelled").
    ASSERT_FALSE(QFileInfo::exists(qEnvironmentVariable("HOME") + u"/Pictures"_s));
    session.runAsUser({appProgram, u"--action"_s, u"screen"_s});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.received.size() >= 2; }, 30000))
        << log();
    EXPECT_EQ(notifications.received[1].summary, u"Uploaded, link copied"_s)
        << notifications.received[1].body;
    const QStringList stored =
        QDir(serverData + u"/files"_s).entryList(QDir::Files, QDir::Time); // newest first
    ASSERT_EQ(stored.size(), 2);
    EXPECT_EQ(QImage(serverData + u"/files/"_s + stored.front()).size(), QSize(1280, 720));
}

// Recording through GNOME's own ScreenCast portal and PipeWire stream (mutter, software
// rendering): its dialog answered as a person would, once.
TEST_F(GnomeTest, RecordingsThroughGnomesScreenCast) {
    startApp();
    ASSERT_TRUE(QTest::qWaitFor([] { return Config().boolValue(keys::trayHintShown); }, 20000))
        << log();
    const auto record = [&] {
        session.runAsUser({appProgram, u"--action"_s, u"record"_s});
    };
    const auto uploads = [] {
        return History::entries(Config()).size();
    };

    // GNOME asks which monitor; Cancel: nothing starts, nothing is said.
    record();
    QTest::qWait(2500);
    input({u"click"_s, u"430"_s, u"248"_s}); // "Cancel", the dialog in the middle of the screen
    QTest::qWait(1000);
    EXPECT_FALSE(log().contains(u"Couldn't start recording"_s)) << log();

    // Again: the monitor, "Share" (remembered), then our chooser on the stream's picture, where
    // a click takes the whole screen. The desktop stands still: the recorder's own clock keeps
    // the frame rate.
    record();
    QTest::qWait(2500);
    input({u"click"_s, u"640"_s, u"401"_s, u"click"_s, u"852"_s, u"248"_s});
    QTest::qWait(2000);
    input({u"click"_s, u"640"_s, u"600"_s});
    QTest::qWait(1000);
    const QImage screen = shellPicture();
    QTest::qWait(2000);
    record();
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploads() == 1; }, 30000)) << log();
    const QStringList stored = QDir(serverData + u"/files"_s).entryList(QDir::Files);
    ASSERT_EQ(stored.size(), 1);
    const Probed probed = probe(serverData + u"/files/"_s + stored.front());
    EXPECT_EQ(probed.codec, u"h264"_s);
    EXPECT_EQ(QSize(probed.width, probed.height), QSize(1280, 720));
    EXPECT_GT(probed.duration, 2.0);
    EXPECT_LT(probed.duration, 5.0);
    EXPECT_GE(probed.frames, static_cast<int>(probed.duration * 30 * 0.85)) << probed.duration;
    // What the screen showed (below the top bar's clock), through H.264.
    const QImage frame = frameAt(serverData + u"/files/"_s + stored.front(), 1.5);
    EXPECT_LT(differing(frame.convertToFormat(QImage::Format_RGB32), screen, 120), 0.05);

    // The replay buffer from the next start: the choice comes back without asking, and the
    // segments turn over through a still screen.
    app.terminate();
    ASSERT_TRUE(app.waitForFinished(10000));
    Config().setBool(keys::replayEnabled, true); // read from the file: the app's token stays
    session.giveToUser(qEnvironmentVariable("XDG_CONFIG_HOME"));
    startApp();
    QTest::qWait(5000);
    session.runAsUser({appProgram, u"--action"_s, u"replay"_s});
    ASSERT_TRUE(QTest::qWaitFor([&] { return uploads() == 2; }, 30000)) << log();
    const QString replay =
        serverData + u"/files/"_s +
        QDir(serverData + u"/files"_s).entryList(QDir::Files, QDir::Time).front();
    const Probed saved = probe(replay);
    EXPECT_EQ(QSize(saved.width, saved.height), QSize(1280, 720));
    EXPECT_GT(saved.duration, 2.5);
    EXPECT_GE(saved.frames, static_cast<int>(saved.duration * 30 * 0.85)) << saved.duration;

    // A recording beside it, again without asking: the chooser comes at once.
    record();
    QTest::qWait(2500);
    input({u"click"_s, u"640"_s, u"600"_s});
    QTest::qWait(1500);
    // PipeWire going away ends the stream: the recording stops and says why, nothing uploaded.
    session.runAsUser({u"pkill"_s, u"-x"_s, u"pipewire"_s});
    EXPECT_TRUE(QTest::qWaitFor([&] { return log().contains(u"Recording stopped: "_s); }, 15000))
        << log();
    QTest::qWait(500);
    EXPECT_EQ(uploads(), 2);
}
