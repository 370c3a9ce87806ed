// Where the single-instance socket lives when the session has no private runtime directory.
#include "app/Instance.h"
#include "base/Handover.h"
#include "support/Isolation.h"
#include "support/Prelude.h"

#include <QStandardPaths>

#include <sys/stat.h>
#include <thread>

namespace {

mode_t modeOf(const QString& path) {
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(InstanceTest, SocketDirectoryIsPrivateToThisUser) {
    const QString shared = test::testHome() + u"/shared-tmp"_s;
    ASSERT_TRUE(QDir().mkpath(shared));
    ::chmod(QFile::encodeName(shared).constData(), 01777);
    ::setenv("TMPDIR", QFile::encodeName(shared).constData(), 1);
    const QString predictable = shared + u"/shotlark-%1"_s.arg(::geteuid());
    const QString fallback =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + u"/Shotlark/run"_s;
    auto socketDir = [] {
        return QFileInfo(Instance::socketPath()).absolutePath();
    };

    // A runtime directory others may enter is not the session's private one.
    const QString loose = test::testHome() + u"/run-loose"_s;
    ASSERT_TRUE(QDir().mkpath(loose));
    ::chmod(QFile::encodeName(loose).constData(), 0755);
    ::setenv("XDG_RUNTIME_DIR", QFile::encodeName(loose).constData(), 1);
    EXPECT_EQ(socketDir(), predictable);
    EXPECT_EQ(modeOf(predictable), 0700u);
    ::unsetenv("XDG_RUNTIME_DIR");

    // Our own directory with a loose mode is narrowed and used.
    ::chmod(QFile::encodeName(predictable).constData(), 0777);
    EXPECT_EQ(socketDir(), predictable);
    EXPECT_EQ(modeOf(predictable), 0700u);

    // A link planted in its place is not followed.
    ASSERT_TRUE(QDir().rmdir(predictable));
    const QString elsewhere = test::testHome() + u"/elsewhere"_s;
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    ASSERT_EQ(::symlink(QFile::encodeName(elsewhere).constData(),
                        QFile::encodeName(predictable).constData()),
              0);
    EXPECT_EQ(socketDir(), fallback);
    EXPECT_EQ(modeOf(fallback), 0700u);
    EXPECT_EQ(handover::existingRuntimeDir(), "") << "the launcher leaves it to the app";
    Instance instance;
    EXPECT_TRUE(instance.claim([](const QStringList&) {}));
    EXPECT_TRUE(QDir(elsewhere).isEmpty());
    ASSERT_TRUE(QFile::remove(predictable));

    // Another user's directory is not used either (only root can make one here).
    ASSERT_TRUE(QDir().mkdir(predictable));
    ::chmod(QFile::encodeName(predictable).constData(), 0777);
    if (::chown(QFile::encodeName(predictable).constData(), 4242, 4242) != 0)
        GTEST_SKIP() << "not root: can't make a directory owned by someone else";
    EXPECT_EQ(socketDir(), fallback);
    EXPECT_TRUE(QDir(predictable).isEmpty());
}

// The launcher writes the line itself; the app reads it with Qt's JSON parser.
TEST(InstanceTest, ArgumentsArriveAsTheLauncherSentThem) {
    const QString runtime = test::testHome() + u"/run-private"_s;
    ASSERT_TRUE(QDir().mkpath(runtime));
    ::chmod(QFile::encodeName(runtime).constData(), 0700);
    ::setenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime).constData(), 1);
    EXPECT_EQ(QString::fromStdString(handover::existingRuntimeDir()), runtime);
    const std::vector<std::string> sent = {"/a \"quoted\" \\ name.png", "line\nbreak\ttab\x01",
                                           "caf\xc3\xa9 \xf0\x9f\x93\xb7",
                                           "shotlark://configure?server=http://x&token=t", ""};
    const std::string socket = handover::existingRuntimeDir() + "/shotlark.socket";
    EXPECT_FALSE(handover::send(socket, sent)) << "nobody listens yet";

    QStringList received;
    Instance instance;
    ASSERT_TRUE(instance.claim([&](const QStringList& arguments) { received = arguments; }));
    bool taken = false;
    std::thread sender([&] { taken = handover::send(socket, sent); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !received.isEmpty(); }, 10000));
    sender.join();
    EXPECT_TRUE(taken);
    ASSERT_EQ(received.size(), static_cast<qsizetype>(sent.size()));
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(received[static_cast<qsizetype>(i)].toStdString(), sent[i]);
    ::unsetenv("XDG_RUNTIME_DIR");
}
