// Updating an installed bundle with the real programs: version 1.0.0 runs from a folder of the
// test's, a server offers 2.0.0, and the menu's "Update to 2.0.0…" replaces and restarts it.
// Both versions trust a key made for the tests.
#include "Archives.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"
#include "update/Installation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <csignal>

using namespace shotlark;
using namespace shotlark::test;

namespace {

const QString buildDir = QStringLiteral(SHOTLARK_BUILD_DIR);
const QString testKey = QStringLiteral(SHOTLARK_TEST_KEY);

QString run(const QString& program, const QStringList& arguments, int* exitCode = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAll()).trimmed();
}

// Shotlark-VERSION-linux.zip of that test build in `out`, signed with `key`.
QString makeBundle(const QString& version, const QString& out, const QString& key = testKey) {
    int code = -1;
    const QString made = run(QStringLiteral(SHOTLARK_MAKE_BUNDLE),
                             {QStringLiteral("--version"), version, QStringLiteral("--key"), key,
                              QStringLiteral("--out"), out, QStringLiteral("--build"), buildDir,
                              QStringLiteral("--app"),
                              buildDir + QStringLiteral("/update-test/shotlark-") + version},
                             &code);
    EXPECT_EQ(code, 0) << made.toStdString();
    return made.section(QLatin1Char('\n'), -1);
}

// Unpacks a bundle archive into `dir`, as a user would; returns the Shotlark.app path.
QString unzip(const QString& zip, const QString& dir) {
    QDir().mkpath(dir);
    QProcess tar;
    tar.setWorkingDirectory(dir);
    tar.start(QStringLiteral("cmake"),
              {QStringLiteral("-E"), QStringLiteral("tar"), QStringLiteral("xf"), zip});
    tar.waitForFinished(60000);
    return dir + QStringLiteral("/Shotlark.app");
}

// The same archive with a change made to its unpacked files.
QString rezipped(const QString& zip, const QString& name,
                 const std::function<void(const QString& app)>& change) {
    const QString dir = testHome() + QStringLiteral("/rezip-") + name;
    change(unzip(zip, dir));
    const QString out = testHome() + QLatin1Char('/') + name + QStringLiteral(".zip");
    QProcess tar;
    tar.setWorkingDirectory(dir);
    tar.start(QStringLiteral("cmake"),
              {QStringLiteral("-E"), QStringLiteral("tar"), QStringLiteral("cf"), out,
               QStringLiteral("--format=zip"), QStringLiteral("Shotlark.app")});
    tar.waitForFinished(60000);
    return out;
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

// Processes running the program at `path`.
QList<pid_t> processesOf(const QString& path) {
    QList<pid_t> found;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (QFileInfo(QStringLiteral("/proc/") + pid + QStringLiteral("/exe")).symLinkTarget() ==
            path)
            found.append(pid.toInt());
    }
    return found;
}

bool noUpdateFolderLeft() {
    return QDir(paths::privateTempDir())
        .entryList({QStringLiteral("slk-update-*")}, QDir::Dirs)
        .isEmpty();
}

class UpdateDesktopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(notifications.registerOnBus());
        ASSERT_TRUE(tray.registerOnBus());
        releases = testHome() + QStringLiteral("/releases");
        installed = unzip(makeBundle(QStringLiteral("1.0.0"), testHome() + QStringLiteral("/a")),
                          testHome() + QStringLiteral("/Applications"));
        ASSERT_TRUE(QFileInfo(installed + QStringLiteral("/bin/shotlark")).isExecutable());
    }

    void TearDown() override {
        app.reset();
        // A version started by the update script is not our child.
        for (pid_t pid : processesOf(installed + QStringLiteral("/bin/shotlark")))
            ::kill(pid, SIGTERM);
    }

    void startInstalled() {
        logFile = testHome() + QStringLiteral("/stderr.txt");
        app = ChildProcess::start({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                   QStringLiteral("exec \"$0\" 2>>\"$1\""),
                                   installed + QStringLiteral("/bin/shotlark"), logFile});
        ASSERT_TRUE(app);
        const qsizetype before = tray.items().size();
        ASSERT_TRUE(QTest::qWaitFor([&] { return tray.items().size() > before; }, 60000));
    }

    QString log() const { return QString::fromUtf8(bytesOf(logFile)); }

    QString installedVersion() const {
        return run(installed + QStringLiteral("/bin/shotlark"), {QStringLiteral("--version")});
    }

    bool clickInMenu(const QString& label) {
        return TrayMenu::of(tray.items().last()).click({label});
    }

    TestNotificationServer notifications;
    TestTrayHost tray;
    std::unique_ptr<ChildProcess> app;
    QString releases, installed, logFile;
};

} // namespace

TEST_F(UpdateDesktopTest, ReferenceServerUpdateReplacesAndRestartsTheApp) {
    makeBundle(QStringLiteral("2.0.0"), releases);
    const QString data = testHome() + QStringLiteral("/server-data");
    const QString token = run(
        QStringLiteral(SHOTLARK_SERVER_BINARY),
        {QStringLiteral("--data"), data, QStringLiteral("--create-user"), QStringLiteral("ada")});
    QString url;
    auto reference = startAndReadLine(
        {QStringLiteral(SHOTLARK_SERVER_BINARY), QStringLiteral("--data"), data,
         QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--releases"),
         releases, QStringLiteral("--ready-fd"), QStringLiteral("{fd}")},
        &url);
    ASSERT_TRUE(reference);
    Config::shared().setString(keys::server, url);
    Config::shared().setToken(token);

    startInstalled();
    // The first start of a bundle registers it for links and "Open With".
    const QString entry = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                          QStringLiteral("/applications/shotlark.desktop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(entry); }, 10000));
    EXPECT_TRUE(
        bytesOf(entry).contains("Exec=\"" + QFile::encodeName(installed) + "/bin/shotlark\" %U"));
    EXPECT_TRUE(bytesOf(entry).contains("x-scheme-handler/shotlark"));
    EXPECT_TRUE(bytesOf(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                        QStringLiteral("/mimeapps.list"))
                    .contains("x-scheme-handler/shotlark=shotlark.desktop"));

    // The check at launch finds 2.0.0 and says so once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.received.isEmpty(); }, 20000));
    EXPECT_EQ(notifications.received.front().summary, QStringLiteral("Update available"));
    EXPECT_EQ(
        notifications.received.front().body,
        QStringLiteral("Version 2.0.0 is ready. Choose \u201cUpdate to 2.0.0\u201d in the menu."));

    ASSERT_TRUE(clickInMenu(QStringLiteral("Update to 2.0.0\u2026")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->running(); }, 30000)) << "1.0.0 quits";
    ASSERT_TRUE(QTest::qWaitFor([&] { return tray.items().size() >= 2; }, 60000))
        << "2.0.0 starts: " << log().toStdString();
    EXPECT_EQ(installedVersion(), QStringLiteral("shotlark 2.0.0")) << "from the same path";
    EXPECT_EQ(processesOf(installed + QStringLiteral("/bin/shotlark")).size(), 1);
    EXPECT_FALSE(QFileInfo::exists(installed + QStringLiteral(".next")));
    EXPECT_FALSE(QFileInfo::exists(installed + QStringLiteral(".old")));
    EXPECT_TRUE(noUpdateFolderLeft());

    // It is the new version that answers.
    const qsizetype before = notifications.received.size();
    ASSERT_TRUE(clickInMenu(QStringLiteral("Check for Updates\u2026")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.received.size() > before; }, 20000));
    EXPECT_EQ(notifications.received.back().summary, QStringLiteral("You're up to date"));
    EXPECT_EQ(notifications.received.back().body, QStringLiteral("Version 2.0.0 is the latest."));
}

TEST_F(UpdateDesktopTest, RefusedDownloadsLeaveTheRunningAppAsItWas) {
    const QString good = makeBundle(QStringLiteral("2.0.0"), releases);
    QByteArray offered;
    TestHttpServer server;
    server.setHandler([&](const RecordedRequest& request) -> CannedResponse {
        if (request.path() == "/api/setup/versions")
            return {200, R"({"linux":{"version":"2.0.0","url":")" +
                             server.url(QStringLiteral("/Shotlark-2.0.0-linux.zip")).toUtf8() +
                             R"("}})"};
        if (request.path() == "/Shotlark-2.0.0-linux.zip" && !offered.isEmpty())
            return {200, offered, "application/zip"};
        if (request.path() == "/api/features")
            return {200, R"({"enabled":["auto_update"]})"};
        return {404, R"({"error":"Not found"})"};
    });
    Config::shared().setString(keys::server, server.url());
    Config::shared().setToken(QStringLiteral("slk_update"));

    const QString otherKey = testHome() + QStringLiteral("/other.pem");
    run(QStringLiteral("openssl"), {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                                    QStringLiteral("ed25519"), QStringLiteral("-out"), otherKey});
    const QString strangers =
        makeBundle(QStringLiteral("2.0.0"), testHome() + QStringLiteral("/strangers"), otherKey);
    struct Attempt {
        const char* name;
        QString archive; // empty: nothing to download (404)
        QString failure;
    };
    const Attempt attempts[] = {
        {"tampered",
         rezipped(good, QStringLiteral("tampered"),
                  [](const QString& app) {
                      QFile tool(app + QStringLiteral("/bin/shotlark-screencapture"));
                      tool.open(QIODevice::Append);
                      tool.write("\n#!/bin/sh evil");
                  }),
         QStringLiteral("verify failed (5)")},
        {"signed by someone else", strangers, QStringLiteral("verify failed (2)")},
        {"extra file",
         rezipped(good, QStringLiteral("extra"),
                  [](const QString& app) {
                      QFile extra(app + QStringLiteral("/lib/shotlark/preload.so"));
                      extra.open(QIODevice::WriteOnly);
                      extra.write("evil");
                  }),
         QStringLiteral("verify failed (6)")},
        {"not there", QString(), QStringLiteral("The download failed")},
        {"climbs out",
         zipOf(QStringLiteral("dotdot.zip"),
               {{.path = "Shotlark.app/../../../evil", .contents = "x"}}),
         QStringLiteral("unpack failed (2)")},
        {"links out",
         zipOf(QStringLiteral("link.zip"),
               {{.path = "Shotlark.app", .type = AE_IFLNK, .link = "../../.."}}),
         QStringLiteral("unpack failed (3)")},
        {"no app", zipOf(QStringLiteral("readme.zip"), {{.path = "README", .contents = "hi"}}),
         QStringLiteral("The download didn't contain the app")},
        {"an older signed version, announced as newer",
         makeBundle(QStringLiteral("1.0.0"), testHome() + QStringLiteral("/older")),
         QStringLiteral("verify failed (7)")},
    };

    const QByteArray before = bytesOf(installed + QStringLiteral("/bin/shotlark"));
    startInstalled();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.received.isEmpty(); }, 20000));
    for (const Attempt& attempt : attempts) {
        offered = attempt.archive.isEmpty() ? QByteArray() : bytesOf(attempt.archive);
        const QString expected = QStringLiteral("shotlark: Update failed: ") + attempt.failure;
        ASSERT_TRUE(clickInMenu(QStringLiteral("Update to 2.0.0\u2026"))) << attempt.name;
        EXPECT_TRUE(QTest::qWaitFor([&] { return log().contains(expected); }, 30000))
            << attempt.name << ": " << log().toStdString();
        EXPECT_TRUE(app->running()) << attempt.name;
        EXPECT_TRUE(noUpdateFolderLeft()) << attempt.name;
    }
    EXPECT_EQ(bytesOf(installed + QStringLiteral("/bin/shotlark")), before);
    EXPECT_EQ(installedVersion(), QStringLiteral("shotlark 1.0.0"));
    EXPECT_FALSE(QFileInfo::exists(testHome() + QStringLiteral("/evil")));
    EXPECT_FALSE(QFileInfo::exists(installed + QStringLiteral(".next")));
}

TEST_F(UpdateDesktopTest, ScriptKilledBetweenItsStepsLeavesAWorkingApp) {
    const QString zip = makeBundle(QStringLiteral("2.0.0"), releases);
    // A process that has ended stands for the app that quit.
    QProcess ended;
    ended.start(QStringLiteral("sleep"), {QStringLiteral("0.1")});
    ASSERT_TRUE(ended.waitForStarted());
    const QString script = installation::replacementScript(ended.processId());
    ASSERT_TRUE(ended.waitForFinished());

    // Wrappers that kill the script right after one of its steps.
    const QString tools = testHome() + QStringLiteral("/tools");
    QDir().mkpath(tools);
    auto wrap = [&](const QString& name, const QByteArray& body) {
        QFile file(tools + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n" + body);
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    };
    auto runScript = [&](const QString& fresh) {
        QProcess sh;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"),
                           tools + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
        sh.setProcessEnvironment(environment);
        sh.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"), script, QStringLiteral("sh"), installed, fresh});
        EXPECT_TRUE(sh.waitForFinished(60000));
    };

    // Killed once the new version is copied beside the old: the old one stays, and its next
    // start clears the copy away.
    wrap(QStringLiteral("cp"), "/bin/cp \"$@\" && kill -9 $PPID\n");
    runScript(unzip(zip, testHome() + QStringLiteral("/slk-update-1")));
    EXPECT_TRUE(QFileInfo::exists(installed + QStringLiteral(".next/bin/shotlark")));
    EXPECT_EQ(installedVersion(), QStringLiteral("shotlark 1.0.0"));
    startInstalled();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !QFileInfo::exists(installed + QStringLiteral(".next")); }, 10000));
    app.reset();

    // Killed right after the swap (at its second "rm"): the new version is in place, the old one
    // beside it goes at the next start.
    QFile::remove(tools + QStringLiteral("/cp"));
    wrap(QStringLiteral("rm"), "calls=$(cat \"$0.calls\" 2>/dev/null || echo 0)\n"
                               "echo $((calls + 1)) >\"$0.calls\"\n"
                               "if [ \"$calls\" -ge 1 ]; then kill -9 $PPID; exit 0; fi\n"
                               "exec /bin/rm \"$@\"\n");
    runScript(unzip(zip, testHome() + QStringLiteral("/slk-update-2")));
    EXPECT_EQ(installedVersion(), QStringLiteral("shotlark 2.0.0"));
    EXPECT_TRUE(QFileInfo::exists(installed + QStringLiteral(".next/bin/shotlark")))
        << "the old version, not yet removed";
    startInstalled();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !QFileInfo::exists(installed + QStringLiteral(".next")); }, 10000));
}

TEST_F(UpdateDesktopTest, OneUpdateAtATime) {
    const QString zip = makeBundle(QStringLiteral("2.0.0"), releases);
    // While a script holds the lock, a starting app leaves what lies beside the bundle alone.
    QDir().mkpath(installed + QStringLiteral(".next/bin"));
    {
        const installation::UpdateLock script(installed);
        ASSERT_TRUE(script.isHeld());
        EXPECT_FALSE(installation::UpdateLock(installed).isHeld());
        installation::sweepAfterUpdate(installed);
        EXPECT_TRUE(QFileInfo::exists(installed + QStringLiteral(".next/bin")));
    }
    installation::sweepAfterUpdate(installed);
    EXPECT_FALSE(QFileInfo::exists(installed + QStringLiteral(".next")));

    // Two scripts at once (two installs before the quit) take turns: one whole bundle results.
    QProcess ended;
    ended.start(QStringLiteral("sleep"), {QStringLiteral("0.1")});
    ASSERT_TRUE(ended.waitForStarted());
    const QString script = installation::replacementScript(ended.processId());
    ASSERT_TRUE(ended.waitForFinished());
    std::vector<std::unique_ptr<QProcess>> scripts;
    for (int i = 0; i < 2; ++i) {
        scripts.push_back(std::make_unique<QProcess>());
        scripts.back()->start(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), script, QStringLiteral("sh"), installed,
             unzip(zip, testHome() + QStringLiteral("/slk-update-%1").arg(i))});
    }
    // Each ends by starting the new version, which stays: wait for both to have swapped.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return !QFileInfo::exists(installed + QStringLiteral(".next")) &&
                   !QFileInfo::exists(testHome() + QStringLiteral("/slk-update-0")) &&
                   !QFileInfo::exists(testHome() + QStringLiteral("/slk-update-1"));
        },
        60000));
    EXPECT_EQ(installedVersion(), QStringLiteral("shotlark 2.0.0"));
    QProcess check;
    check.setWorkingDirectory(installed);
    check.start(QStringLiteral("sha256sum"), {QStringLiteral("--quiet"), QStringLiteral("-c"),
                                              QStringLiteral("MANIFEST")});
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();
    EXPECT_FALSE(QFileInfo::exists(installed + QStringLiteral(".old")));
}
