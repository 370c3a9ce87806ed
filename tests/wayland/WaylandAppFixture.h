#pragma once

// The real app in a Wayland session against the reference server, with a test tray host and
// notification server on the session bus.
#include "WaylandFixture.h"
#include "store/Config.h"
#include "support/ChildProcess.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"

namespace shotlark::test {

inline const QString appBinary = QStringLiteral(SHOTLARK_APP_BINARY);

class WaylandAppTest : public WaylandTest {
protected:
    void SetUp() override {
        WaylandTest::SetUp();
        ASSERT_TRUE(notifications.registerOnBus());
        ASSERT_TRUE(tray.registerOnBus());
        reference = ReferenceServer::start(session.userDirectory(u"server"_s));
        ASSERT_TRUE(reference.process);
        url = reference.url;
        Config::shared().setString(keys::server, url);
        Config::shared().setToken(reference.token);
        Config::shared().setBool(keys::copyDirectLink, true);
        Config::shared().setBool(keys::compressScreenshots, false);
        // Written by the test, read (and written) by the app as the session's user.
        session.giveToUser(qEnvironmentVariable("XDG_CONFIG_HOME"));
        session.giveToUser(qEnvironmentVariable("HOME"));
        logFile = session.userDirectory(u"log"_s) + u"/stderr.txt"_s;
    }

    void startApp() {
        start(app, {u"/bin/sh"_s, u"-c"_s, u"exec \"$0\" 2>>\"$1\""_s, appBinary, logFile});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tray.itemService().isEmpty(); }, 20000))
            << "no tray icon: " << log();
    }

    void TearDown() override {
        app.terminate();
        if (!app.waitForFinished(5000))
            app.kill();
        WaylandTest::TearDown();
    }

    QString log() const {
        QFile file(logFile);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    void action(const QString& name) { run({appBinary, u"--action"_s, name}); }

    // The next notification's body: the link of an upload.
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

    QString clipboard() { return QString::fromUtf8(run({u"wl-paste"_s, u"--no-newline"_s})); }

    static QByteArray fetch(const QString& link) {
        QProcess curl;
        curl.start(u"curl"_s, {u"-sSf"_s, link});
        curl.waitForFinished(10000);
        return curl.readAllStandardOutput();
    }

    TestNotificationServer notifications;
    TestTrayHost tray;
    ReferenceServer reference;
    QString url, logFile;
    QProcess app;
    qsizetype seen = 0;
};

} // namespace shotlark::test
