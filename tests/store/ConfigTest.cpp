#include "store/Config.h"
#include "store/Paths.h"
#include "support/Isolation.h"
#include "support/Prelude.h"

#include <atomic>
#include <sys/stat.h>
#include <thread>

namespace {

mode_t modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

// A Config opened on the test's own home, with the app's defaults registered.
struct Fresh {
    Config config;
    Fresh() { config.registerDefaults(Config::standardDefaults()); }
};

} // namespace

TEST(ConfigValues, TypedValuesSurviveReopeningWithPrivatePermissions) {
    const QByteArray bytes("\x00\x01\xff{\"json\":true}", 17);
    {
        Config config;
        config.setString(keys::server, u"https://media.example.org"_s);
        config.setString(keys::username, u"ünïcode"_s);
        config.setData(keys::history, bytes);
        config.setInteger(u"big"_s, 1LL << 53);
        config.setBool(u"flag"_s, true);
    }
    Config config;
    EXPECT_EQ(config.server(), u"https://media.example.org"_s);
    EXPECT_EQ(config.username(), u"ünïcode"_s);
    EXPECT_EQ(config.dataValue(keys::history), bytes);
    EXPECT_EQ(config.integerValue(u"big"_s), 1LL << 53);
    EXPECT_TRUE(config.boolValue(u"flag"_s));
    config.remove(keys::history);
    EXPECT_FALSE(config.dataValue(keys::history).has_value());

    EXPECT_EQ(modeOf(config.settingsFile()), 0600u);
    EXPECT_EQ(modeOf(paths::configDir()), 0700u);
    EXPECT_EQ(QDir(paths::configDir()).entryList(QDir::Files), QStringList{u"settings.json"_s})
        << "no temporary sibling is left behind";
}

TEST(ConfigDamage, UnparsableFileReadsAsDefaultsAndIsMovedAsideNotDestroyed) {
    const QString file = paths::configDir() + u"/settings.json"_s;
    const QByteArray garbage("{\"playSound\": false, \"server\": \"https://x\"\x00\xff trailing",
                             45);
    test::writeTestFile(file, garbage);

    Fresh fresh;
    Config& config = fresh.config;
    EXPECT_TRUE(config.boolValue(keys::playSound));
    EXPECT_FALSE(config.isConfigured());
    EXPECT_EQ(test::readTestFile(file), garbage) << "reading alone never touches the damaged file";

    config.setBool(keys::copyDirectLink, true);
    const QString aside = config.damagedFile();
    EXPECT_EQ(aside, file + u".damaged"_s);
    EXPECT_EQ(test::readTestFile(aside), garbage);
    Fresh reopened;
    EXPECT_TRUE(reopened.config.boolValue(keys::copyDirectLink));
    EXPECT_TRUE(reopened.config.damagedFile().isEmpty());
}

TEST(ConfigToken, IsCreatedPrivateAndLooserPermissionsAreTightened) {
    const QString dir = paths::dataDir();
    const QString tokenFile = dir + u"/token"_s;
    {
        Config config;
        config.setToken(u"slk_first"_s);
        EXPECT_EQ(modeOf(dir), 0700u);
        EXPECT_EQ(modeOf(tokenFile), 0600u);
        EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{u"token"_s});
    }
    ASSERT_EQ(::chmod(QFile::encodeName(dir).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(tokenFile).constData(), 0644), 0);
    Config reopened;
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(tokenFile), 0600u);
    EXPECT_EQ(reopened.token(), u"slk_first"_s);

    ASSERT_EQ(::chmod(QFile::encodeName(tokenFile).constData(), 0666), 0);
    reopened.setToken(u"slk_second"_s);
    EXPECT_EQ(modeOf(tokenFile), 0600u) << "replacing a loose file gives a private one";
    EXPECT_EQ(reopened.token(), u"slk_second"_s);
}

TEST(ConfigThreads, WorkersReadWhileTheMainThreadWrites) {
    Fresh fresh;
    Config& config = fresh.config;
    config.setToken(u"slk_token"_s);
    std::atomic<bool> stop{false};
    std::atomic<int> wrongReads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const qint64 rate = config.integerValue(keys::recordFrameRate);
                if (rate != 30 && rate != 60)
                    ++wrongReads;
                const QString server = config.server();
                if (!server.isEmpty() && !server.startsWith(u"https://"_s))
                    ++wrongReads;
                (void)config.isConfigured();
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        config.setInteger(keys::recordFrameRate, i % 2 ? 60 : 30);
        config.setString(keys::server, u"https://host%1"_s.arg(i));
    }
    stop = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(wrongReads, 0);
}
