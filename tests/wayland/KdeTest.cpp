// The real app on KDE Plasma's KWin (headless, virtual output) with KDE's own portals: global
// shortcuts bound by the desktop at the start, as KDE Plasma 5.27 binds them.
#include "store/Config.h"
#include "store/History.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"
#include "support/WaylandSession.h"

namespace {

const QString kdeAppProgram = QStringLiteral(SHOTLARK_APP_BINARY);

class KdeTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.startKde(1280, 720));
        // Plasma's shell serves them on a real desktop; without one, the bus would start a
        // program that waits a minute for it.
        ASSERT_TRUE(notifications.registerOnBus());
        reference = ReferenceServer::start(session.userDirectory(u"server"_s));
        ASSERT_TRUE(reference.process);
        Config::shared().setString(keys::server, reference.url);
        Config::shared().setToken(reference.token);
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
            {u"/bin/sh"_s, u"-c"_s, u"exec \"$0\" 2>>\"$1\""_s, kdeAppProgram, logFile});
        app.start(argv.front(), argv.mid(1));
        ASSERT_TRUE(app.waitForStarted());
    }

    QString log() const { return QString::fromUtf8(readTestFile(logFile)); }

    // The app's shortcuts as KDE's shortcut daemon keeps them.
    QString bindings() const {
        return session.call({u"-d"_s, u"org.kde.kglobalaccel"_s, u"-o"_s, u"/component/shotlark"_s,
                             u"-m"_s, u"org.kde.kglobalaccel.Component.allShortcutInfos"_s});
    }

    WaylandSession session;
    TestNotificationServer notifications;
    ReferenceServer reference;
    QString logFile;
    QProcess app;
};

} // namespace

TEST_F(KdeTest, HotkeysAreBoundAtTheStartWithoutSettingsAndFire) {
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
}
