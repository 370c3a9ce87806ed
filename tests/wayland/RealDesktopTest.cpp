// The real app on the desktops most people run, headless with their own portals: stock GNOME
// Shell (no tray, so the menu is a window; notifications by the shell; screenshots from GNOME's
// portal checked against the shell's own picture of the screen) and KDE Plasma's KWin (global
// shortcuts bound by the desktop at the start, as Plasma 5.27 binds them).
#include "store/Config.h"
#include "store/History.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"
#include "support/WaylandSession.h"

#include <QImage>

namespace {

const QString appProgram = QStringLiteral(SHOTLARK_APP_BINARY);

// The app against the reference server in a session the subclass starts first.
class RealDesktopTest : public testing::Test {
protected:
    void connect() {
        serverData = session.userDirectory(u"server"_s);
        reference = ReferenceServer::start(serverData);
        ASSERT_TRUE(reference.process);
        Config::shared().setString(keys::server, reference.url);
        Config::shared().setToken(reference.token);
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

    void startApp() {
        const QStringList argv = session.asUser(
            {u"/bin/sh"_s, u"-c"_s, u"exec \"$0\" 2>>\"$1\""_s, appProgram, logFile});
        app.start(argv.front(), argv.mid(1));
        ASSERT_TRUE(app.waitForStarted());
    }

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

class GnomeTest : public RealDesktopTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.startGnome(1280, 720));
        // The user allowed apps to take screenshots when GNOME asked; the portal keeps that here.
        ASSERT_FALSE(session
                         .call({u"-d"_s, u"org.freedesktop.impl.portal.PermissionStore"_s, u"-o"_s,
                                u"/org/freedesktop/impl/portal/PermissionStore"_s, u"-m"_s,
                                u"org.freedesktop.impl.portal.PermissionStore.SetPermission"_s,
                                u"screenshot"_s, u"true"_s, u"screenshot"_s, u"''"_s, u"['yes']"_s})
                         .isEmpty());
        connect();
    }

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
    const QStringList monitor =
        session.asUser({u"dbus-monitor"_s, u"--session"_s,
                        u"interface='org.freedesktop.Notifications',member='Notify'"_s});
    notifications.start(monitor.front(), monitor.mid(1));
    ASSERT_TRUE(notifications.waitForStarted());
    QString sent;
    const auto notified = [&](const QString& summary) {
        return QTest::qWaitFor(
            [&] {
                sent += QString::fromUtf8(notifications.readAllStandardOutput());
                return sent.contains(u"string \""_s + summary + u'"');
            },
            10000);
    };

    // The whole screen through GNOME's portal, without a dialog, as the shell sees it.
    session.runAsUser({appProgram, u"--action"_s, u"screen"_s});
    ASSERT_TRUE(QTest::qWaitFor([] { return History::entries(Config()).size() == 1; }, 30000))
        << log();
    const QImage truth = shellPicture();
    const QStringList stored = QDir(serverData + u"/files"_s).entryList(QDir::Files);
    ASSERT_EQ(stored.size(), 1);
    const QImage shot(serverData + u"/files/"_s + stored.front());
    ASSERT_EQ(shot.size(), QSize(1280, 720));
    ASSERT_EQ(truth.size(), shot.size());
    // Below the top bar (its clock may turn between the two pictures).
    int compared = 0, different = 0;
    for (int y = 40; y < shot.height(); y += 23) {
        for (int x = 0; x < shot.width(); x += 23) {
            const QColor a = shot.pixelColor(x, y), b = truth.pixelColor(x, y);
            ++compared;
            different += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                             std::abs(a.blue() - b.blue()) >
                         12;
        }
    }
    EXPECT_LT(different, compared / 100) << different << " of " << compared << "; " << log();

    // GNOME keeps the clipboard from an app without a focused window: the link is "ready",
    // never said to be copied.
    EXPECT_TRUE(notified(u"Uploaded, link ready"_s)) << sent;
    EXPECT_FALSE(sent.contains(u"copied"_s)) << sent;
    notifications.kill();
    notifications.waitForFinished();
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

    // A press, as KDE's shortcut daemon delivers it, runs the action.
    session.runAsUser({u"wl-copy"_s, u"pressed on KDE"_s});
    session.call({u"-d"_s, u"org.kde.kglobalaccel"_s, u"-o"_s, u"/component/shotlark"_s, u"-m"_s,
                  u"org.kde.kglobalaccel.Component.invokeShortcut"_s, u"clipboard"_s});
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
