// Updating an installed bundle with the real programs: version 1.0.0 runs from a folder of the
// test's, a server offers 2.0.0, and the menu's "Update to 2.0.0…" replaces and restarts it.
// Both versions trust a key made for the tests.
#include "Archives.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"
#include "update/Installation.h"

#include <QStandardPaths>

namespace {

const QString buildDir = QStringLiteral(SHOTLARK_BUILD_DIR);
const QString testKey = QStringLiteral(SHOTLARK_TEST_KEY);

// What a program printed, both streams, trimmed; its exit code in `exitCode`.
QString output(const QStringList& argv, int* exitCode = nullptr, const QString& directory = {}) {
    const Ran ran = run(argv, 120000, directory);
    if (exitCode)
        *exitCode = ran.exitCode;
    return (ran.out + ran.err).trimmed();
}

// Shotlark-VERSION-linux.zip of that test build in `out`, signed with `key`.
QString makeBundle(const QString& version, const QString& out, const QString& key = testKey) {
    int code = -1;
    const QString made = output({QStringLiteral(SHOTLARK_MAKE_BUNDLE), u"--version"_s, version,
                                 u"--key"_s, key, u"--out"_s, out, u"--build"_s, buildDir,
                                 u"--app"_s, buildDir + u"/update-test/shotlark-"_s + version},
                                &code);
    EXPECT_EQ(code, 0) << made;
    return made.section(u'\n', -1);
}

// Unpacks a bundle archive into `dir`, as a user would; returns the Shotlark.app path.
QString unzip(const QString& zip, const QString& dir) {
    QDir().mkpath(dir);
    output({u"cmake"_s, u"-E"_s, u"tar"_s, u"xf"_s, zip}, nullptr, dir);
    return dir + u"/Shotlark.app"_s;
}

// The same archive with a change made to its unpacked files.
QString rezipped(const QString& zip, const QString& name,
                 const std::function<void(const QString& app)>& change) {
    const QString dir = testHome() + u"/rezip-"_s + name;
    change(unzip(zip, dir));
    const QString out = testHome() + u'/' + name + u".zip"_s;
    output({u"cmake"_s, u"-E"_s, u"tar"_s, u"cf"_s, out, u"--format=zip"_s, u"Shotlark.app"_s},
           nullptr, dir);
    return out;
}

// Processes running the program at `path`.
QList<pid_t> processesOf(const QString& path) {
    QList<pid_t> found;
    for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        if (QFileInfo(u"/proc/"_s + pid + u"/exe"_s).symLinkTarget() == path)
            found.append(pid.toInt());
    }
    return found;
}

// The replacement script, as the app leaves it when it quits (an ended process stands for it).
QString scriptAfterQuit() {
    QProcess ended;
    ended.start(u"sleep"_s, {u"0.1"_s});
    EXPECT_TRUE(ended.waitForStarted());
    const QString script = installation::replacementScript(ended.processId());
    EXPECT_TRUE(ended.waitForFinished());
    return script;
}

bool noUpdateFolderLeft() {
    return QDir(paths::privateTempDir()).entryList({u"slk-update-*"_s}, QDir::Dirs).isEmpty();
}

class UpdateDesktopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(notifications.registerOnBus());
        ASSERT_TRUE(tray.registerOnBus());
        releases = testHome() + u"/releases"_s;
        installed =
            unzip(makeBundle(u"1.0.0"_s, testHome() + u"/a"_s), testHome() + u"/Applications"_s);
        ASSERT_TRUE(QFileInfo(installed + u"/bin/shotlark"_s).isExecutable());
    }

    void TearDown() override {
        app.reset();
        // A version started by the update script is not our child.
        for (pid_t pid : processesOf(installed + u"/bin/shotlark"_s))
            ::kill(pid, SIGTERM);
    }

    void startInstalled() {
        logFile = testHome() + u"/stderr.txt"_s;
        app = ChildProcess::start({u"/bin/sh"_s, u"-c"_s, u"exec \"$0\" 2>>\"$1\""_s,
                                   installed + u"/bin/shotlark"_s, logFile});
        ASSERT_TRUE(app);
        const qsizetype before = tray.items().size();
        ASSERT_TRUE(QTest::qWaitFor([&] { return tray.items().size() > before; }, 60000));
    }

    QString log() const { return QString::fromUtf8(readTestFile(logFile)); }

    QString installedVersion() const {
        return output({installed + u"/bin/shotlark"_s, u"--version"_s});
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
    makeBundle(u"2.0.0"_s, releases);
    const ReferenceServer reference =
        ReferenceServer::start(testHome() + u"/server-data"_s, {u"--releases"_s, releases});
    ASSERT_TRUE(reference.process);
    reference.connect();

    startInstalled();
    // The first start of a bundle registers it for links and "Open With".
    const QString entry = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                          u"/applications/shotlark.desktop"_s;
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(entry); }, 10000));
    EXPECT_TRUE(readTestFile(entry).contains("Exec=\"" + QFile::encodeName(installed) +
                                             "/bin/shotlark\" %U"));
    EXPECT_TRUE(readTestFile(entry).contains("x-scheme-handler/shotlark"));
    EXPECT_TRUE(
        readTestFile(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                     u"/mimeapps.list"_s)
            .contains("x-scheme-handler/shotlark=shotlark.desktop"));

    // The check at launch finds 2.0.0 and says so once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.received.isEmpty(); }, 20000));
    EXPECT_EQ(notifications.received.front().summary, u"Update available"_s);
    EXPECT_EQ(notifications.received.front().body,
              u"Version 2.0.0 is ready. Choose \u201cUpdate to 2.0.0\u201d in the menu."_s);

    ASSERT_TRUE(clickInMenu(u"Update to 2.0.0\u2026"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->running(); }, 30000)) << "1.0.0 quits";
    ASSERT_TRUE(QTest::qWaitFor([&] { return tray.items().size() >= 2; }, 60000))
        << "2.0.0 starts: " << log();
    EXPECT_EQ(installedVersion(), u"shotlark 2.0.0"_s) << "from the same path";
    EXPECT_EQ(processesOf(installed + u"/bin/shotlark"_s).size(), 1);
    EXPECT_FALSE(QFileInfo::exists(installed + u".next"_s));
    EXPECT_FALSE(QFileInfo::exists(installed + u".old"_s));
    EXPECT_TRUE(noUpdateFolderLeft());

    // It is the new version that answers.
    const qsizetype before = notifications.received.size();
    ASSERT_TRUE(clickInMenu(u"Check for Updates\u2026"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.received.size() > before; }, 20000));
    EXPECT_EQ(notifications.received.back().summary, u"You're up to date"_s);
    EXPECT_EQ(notifications.received.back().body, u"Version 2.0.0 is the latest."_s);
}

TEST_F(UpdateDesktopTest, RefusedDownloadsLeaveTheRunningAppAsItWas) {
    const QString good = makeBundle(u"2.0.0"_s, releases);
    QByteArray offered;
    TestHttpServer server;
    server.setHandler([&](const RecordedRequest& request) -> CannedResponse {
        if (request.path() == "/api/setup/versions")
            return {200, R"({"linux":{"version":"2.0.0","url":")" +
                             server.url(u"/Shotlark-2.0.0-linux.zip"_s).toUtf8() + R"("}})"};
        if (request.path() == "/Shotlark-2.0.0-linux.zip" && !offered.isEmpty())
            return {200, offered, "application/zip"};
        if (request.path() == "/api/features")
            return {200, R"({"enabled":["auto_update"]})"};
        return {404, R"({"error":"Not found"})"};
    });
    Config::shared().setString(keys::server, server.url());
    Config::shared().setToken(u"slk_update"_s);

    struct Attempt {
        const char* name;
        QString archive; // empty: nothing to download (404)
        QString failure;
    };
    // One of each kind of refusal: the signature check, the unpacker, the download, the
    // contents and the version (every case of each is in the bundle's own tests).
    const Attempt attempts[] = {
        {"tampered",
         rezipped(good, u"tampered"_s,
                  [](const QString& app) {
                      QFile tool(app + u"/bin/shotlark-screencapture"_s);
                      tool.open(QIODevice::Append);
                      tool.write("\n#!/bin/sh evil");
                  }),
         u"verify failed (5)"_s},
        {"not there", QString(), u"The download failed"_s},
        {"climbs out",
         zipOf(u"dotdot.zip"_s, {{.path = "Shotlark.app/../../../evil", .contents = "x"}}),
         u"unpack failed (2)"_s},
        {"no app", zipOf(u"readme.zip"_s, {{.path = "README", .contents = "hi"}}),
         u"The download didn't contain the app"_s},
        {"an older signed version, announced as newer",
         makeBundle(u"1.0.0"_s, testHome() + u"/older"_s), u"verify failed (7)"_s},
    };

    const QByteArray before = readTestFile(installed + u"/bin/shotlark"_s);
    startInstalled();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !notifications.received.isEmpty(); }, 20000));
    for (const Attempt& attempt : attempts) {
        offered = attempt.archive.isEmpty() ? QByteArray() : readTestFile(attempt.archive);
        const QString expected = u"shotlark: Update failed: "_s + attempt.failure;
        ASSERT_TRUE(clickInMenu(u"Update to 2.0.0\u2026"_s)) << attempt.name;
        EXPECT_TRUE(QTest::qWaitFor([&] { return log().contains(expected); }, 30000))
            << attempt.name << ": " << log();
        EXPECT_TRUE(app->running()) << attempt.name;
        EXPECT_TRUE(noUpdateFolderLeft()) << attempt.name;
    }
    EXPECT_EQ(readTestFile(installed + u"/bin/shotlark"_s), before);
    EXPECT_EQ(installedVersion(), u"shotlark 1.0.0"_s);
    EXPECT_FALSE(QFileInfo::exists(testHome() + u"/evil"_s));
    EXPECT_FALSE(QFileInfo::exists(installed + u".next"_s));
}

TEST_F(UpdateDesktopTest, ScriptKilledBetweenItsStepsLeavesAWorkingApp) {
    const QString zip = makeBundle(u"2.0.0"_s, releases);
    const QString script = scriptAfterQuit();

    // Wrappers that kill the script right after one of its steps.
    const QString tools = testHome() + u"/tools"_s;
    QDir().mkpath(tools);
    auto wrap = [&](const QString& name, const QByteArray& body) {
        QFile::setPermissions(writeTestFile(tools + u'/' + name, "#!/bin/sh\n" + body),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    auto runScript = [&](const QString& fresh) {
        QProcess sh;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, tools + u':' + environment.value(u"PATH"_s));
        sh.setProcessEnvironment(environment);
        sh.start(u"/bin/sh"_s, {u"-c"_s, script, u"sh"_s, installed, fresh});
        EXPECT_TRUE(sh.waitForFinished(60000));
    };

    // Killed once the new version is copied beside the old: the old one stays, and its next
    // start clears the copy away.
    wrap(u"cp"_s, "/bin/cp \"$@\" && kill -9 $PPID\n");
    runScript(unzip(zip, testHome() + u"/slk-update-1"_s));
    EXPECT_TRUE(QFileInfo::exists(installed + u".next/bin/shotlark"_s));
    EXPECT_EQ(installedVersion(), u"shotlark 1.0.0"_s);
    startInstalled();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(installed + u".next"_s); }, 10000));
    app.reset();

    // Killed right after the swap (at its second "rm"): the new version is in place, the old one
    // beside it goes at the next start.
    QFile::remove(tools + u"/cp"_s);
    wrap(u"rm"_s, "calls=$(cat \"$0.calls\" 2>/dev/null || echo 0)\n"
                  "echo $((calls + 1)) >\"$0.calls\"\n"
                  "if [ \"$calls\" -ge 1 ]; then kill -9 $PPID; exit 0; fi\n"
                  "exec /bin/rm \"$@\"\n");
    runScript(unzip(zip, testHome() + u"/slk-update-2"_s));
    EXPECT_EQ(installedVersion(), u"shotlark 2.0.0"_s);
    EXPECT_TRUE(QFileInfo::exists(installed + u".next/bin/shotlark"_s))
        << "the old version, not yet removed";
    startInstalled();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(installed + u".next"_s); }, 10000));
}

TEST_F(UpdateDesktopTest, OneUpdateAtATime) {
    const QString zip = makeBundle(u"2.0.0"_s, releases);
    // While a script holds the lock, a starting app leaves what lies beside the bundle alone.
    QDir().mkpath(installed + u".next/bin"_s);
    {
        const installation::UpdateLock script(installed);
        ASSERT_TRUE(script.isHeld());
        EXPECT_FALSE(installation::UpdateLock(installed).isHeld());
        installation::sweepAfterUpdate(installed);
        EXPECT_TRUE(QFileInfo::exists(installed + u".next/bin"_s));
    }
    installation::sweepAfterUpdate(installed);
    EXPECT_FALSE(QFileInfo::exists(installed + u".next"_s));

    // Two scripts at once (two installs before the quit) take turns: one whole bundle results.
    const QString script = scriptAfterQuit();
    std::vector<std::unique_ptr<QProcess>> scripts;
    for (int i = 0; i < 2; ++i) {
        scripts.push_back(std::make_unique<QProcess>());
        scripts.back()->start(u"/bin/sh"_s, {u"-c"_s, script, u"sh"_s, installed,
                                             unzip(zip, testHome() + u"/slk-update-%1"_s.arg(i))});
    }
    // Each ends by starting the new version, which stays: wait for both to have swapped.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return !QFileInfo::exists(installed + u".next"_s) &&
                   !QFileInfo::exists(testHome() + u"/slk-update-0"_s) &&
                   !QFileInfo::exists(testHome() + u"/slk-update-1"_s);
        },
        60000));
    EXPECT_EQ(installedVersion(), u"shotlark 2.0.0"_s);
    int code = -1;
    const QString checked =
        output({u"sha256sum"_s, u"--quiet"_s, u"-c"_s, u"MANIFEST"_s}, &code, installed);
    EXPECT_EQ(code, 0) << checked;
    EXPECT_FALSE(QFileInfo::exists(installed + u".old"_s));
}
