#include "store/Config.h"
#include "store/Paths.h"
#include "support/Isolation.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using namespace shotlark;

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

TEST(ConfigNormalize, BringsTypedAddressesIntoStoredForm) {
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("  media.example.org//  \n"), QStringLiteral("https://media.example.org")},
        {QStringLiteral("http://10.0.0.2:8080/"), QStringLiteral("http://10.0.0.2:8080")},
        {QStringLiteral("\thttp://host/base///\r\n"), QStringLiteral("http://host/base")},
        {QStringLiteral("/"), QString()},
        {QStringLiteral(" \n\t "), QString()},
        {QStringLiteral(""), QString()},
        {QStringLiteral("host/path?x=a://b"), QStringLiteral("host/path?x=a://b")},
        {QStringLiteral("ftp://files"), QStringLiteral("ftp://files")},
        {QStringLiteral("\u2003host\u00a0"), QStringLiteral("https://host")},
    };
    for (const auto& [typed, stored] : cases)
        EXPECT_EQ(Config::normalize(typed), stored) << typed.toStdString();
}

TEST(ConfigDefaults, FreshInstallReadsRegisteredDefaultsAndWritesNothing) {
    Fresh fresh;
    Config& config = fresh.config;
    EXPECT_TRUE(config.boolValue(keys::playSound));
    EXPECT_TRUE(config.boolValue(keys::showNotifications));
    EXPECT_TRUE(config.boolValue(keys::compressScreenshots));
    EXPECT_TRUE(config.boolValue(keys::autoUpdate));
    for (const QString& off :
         {keys::recordAudio, keys::copyDirectLink, keys::openAfterUpload, keys::recordHighQuality,
          keys::annotateAfterCapture, keys::shareNowPlaying, keys::replayEnabled})
        EXPECT_FALSE(config.boolValue(off)) << off.toStdString();
    EXPECT_EQ(config.integerValue(keys::recordFrameRate), 30);
    EXPECT_FALSE(config.stringValue(keys::server).has_value());
    EXPECT_EQ(config.server(), QString());
    EXPECT_FALSE(config.isConfigured());
    EXPECT_FALSE(config.contains(keys::playSound));
    EXPECT_FALSE(QFile::exists(config.settingsFile()));

    const auto& defaults = Config::standardDefaults();
    ASSERT_EQ(defaults.size(), 12);
    EXPECT_EQ(defaults.front().first, keys::playSound);
    EXPECT_EQ(defaults.back().first, keys::replayEnabled);
}

TEST(ConfigDefaults, UserValuesWinAndOnlyThemReachTheFile) {
    {
        Fresh fresh;
        fresh.config.setBool(keys::playSound, false);
        fresh.config.setInteger(keys::recordFrameRate, 60);
        EXPECT_FALSE(fresh.config.boolValue(keys::playSound));
    }
    const QJsonObject onDisk =
        QJsonDocument::fromJson(
            test::readTestFile(paths::configDir() + QStringLiteral("/settings.json")))
            .object();
    EXPECT_EQ(onDisk.keys(), (QStringList{keys::playSound, keys::recordFrameRate}));

    Fresh reopened;
    EXPECT_FALSE(reopened.config.boolValue(keys::playSound));
    EXPECT_EQ(reopened.config.integerValue(keys::recordFrameRate), 60);
    EXPECT_TRUE(reopened.config.boolValue(keys::showNotifications));
    reopened.config.remove(keys::playSound);
    EXPECT_TRUE(reopened.config.boolValue(keys::playSound));
}

TEST(ConfigValues, TypedValuesSurviveReopeningWithPrivatePermissions) {
    const QByteArray bytes("\x00\x01\xff{\"json\":true}", 17);
    {
        Config config;
        config.setString(keys::server, QStringLiteral("https://media.example.org"));
        config.setString(keys::username, QStringLiteral("ünïcode"));
        config.setData(keys::history, bytes);
        config.setInteger(QStringLiteral("big"), 1LL << 53);
        config.setBool(QStringLiteral("flag"), true);
    }
    Config config;
    EXPECT_EQ(config.server(), QStringLiteral("https://media.example.org"));
    EXPECT_EQ(config.username(), QStringLiteral("ünïcode"));
    EXPECT_EQ(config.dataValue(keys::history), bytes);
    EXPECT_EQ(config.integerValue(QStringLiteral("big")), 1LL << 53);
    EXPECT_TRUE(config.boolValue(QStringLiteral("flag")));
    config.remove(keys::history);
    EXPECT_FALSE(config.dataValue(keys::history).has_value());

    EXPECT_EQ(modeOf(config.settingsFile()), 0600u);
    EXPECT_EQ(modeOf(paths::configDir()), 0700u);
    EXPECT_EQ(QDir(paths::configDir()).entryList(QDir::Files),
              QStringList{QStringLiteral("settings.json")})
        << "no temporary sibling is left behind";
}

TEST(ConfigDamage, UnparsableFileReadsAsDefaultsAndIsMovedAsideNotDestroyed) {
    const QString file = paths::configDir() + QStringLiteral("/settings.json");
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
    EXPECT_EQ(aside, file + QStringLiteral(".damaged"));
    EXPECT_EQ(test::readTestFile(aside), garbage);
    Fresh reopened;
    EXPECT_TRUE(reopened.config.boolValue(keys::copyDirectLink));
    EXPECT_TRUE(reopened.config.damagedFile().isEmpty());
}

TEST(ConfigDamage, ValuesOfTheWrongTypeReadAsTheirDefaults) {
    test::writeTestFile(paths::configDir() + QStringLiteral("/settings.json"),
                        R"({"playSound":"no","recordFrameRate":"sixty","server":42,"history":"%%%",
                  "compressScreenshots":0,"showNotifications":[]})");
    Fresh fresh;
    Config& config = fresh.config;
    EXPECT_TRUE(config.boolValue(keys::playSound));
    EXPECT_EQ(config.integerValue(keys::recordFrameRate), 30);
    EXPECT_FALSE(config.stringValue(keys::server).has_value());
    EXPECT_FALSE(config.dataValue(keys::history).has_value());
    EXPECT_FALSE(config.boolValue(keys::compressScreenshots)) << "a number is a readable switch";
    EXPECT_TRUE(config.boolValue(keys::showNotifications));
    EXPECT_TRUE(config.damagedFile().isEmpty());
}

TEST(ConfigDamage, ArrayAtTopLevelIsTreatedAsDamaged) {
    test::writeTestFile(paths::configDir() + QStringLiteral("/settings.json"), "[1,2,3]");
    Config config;
    EXPECT_FALSE(config.damagedFile().isEmpty());
}

TEST(ConfigToken, RoundTripTrimsAndBlankDeletes) {
    Config config;
    const QString tokenFile = paths::dataDir() + QStringLiteral("/token");
    EXPECT_EQ(config.tokenFile(), tokenFile);
    EXPECT_EQ(config.token(), QString());

    config.setToken(QStringLiteral("  slk_abc123 \n"));
    EXPECT_EQ(test::readTestFile(tokenFile), QByteArray("slk_abc123"));
    EXPECT_EQ(config.token(), QStringLiteral("slk_abc123"));

    test::writeTestFile(tokenFile, "slk_from_dashboard\n");
    EXPECT_EQ(config.token(), QStringLiteral("slk_from_dashboard")) << "read afresh, trimmed";

    config.setString(keys::server, QStringLiteral("https://media.example.org"));
    EXPECT_TRUE(config.isConfigured());

    config.setToken(QStringLiteral(" \r\n\t"));
    EXPECT_FALSE(QFile::exists(tokenFile));
    EXPECT_EQ(config.token(), QString());
    EXPECT_FALSE(config.isConfigured()) << "server without token";
    config.setToken(QString()); // deleting a missing file is not an error
}

TEST(ConfigToken, IsCreatedPrivateAndLooserPermissionsAreTightened) {
    const QString dir = paths::dataDir();
    const QString tokenFile = dir + QStringLiteral("/token");
    {
        Config config;
        config.setToken(QStringLiteral("slk_first"));
        EXPECT_EQ(modeOf(dir), 0700u);
        EXPECT_EQ(modeOf(tokenFile), 0600u);
        EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("token")});
    }
    ASSERT_EQ(::chmod(QFile::encodeName(dir).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(tokenFile).constData(), 0644), 0);
    Config reopened;
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(tokenFile), 0600u);
    EXPECT_EQ(reopened.token(), QStringLiteral("slk_first"));

    ASSERT_EQ(::chmod(QFile::encodeName(tokenFile).constData(), 0666), 0);
    reopened.setToken(QStringLiteral("slk_second"));
    EXPECT_EQ(modeOf(tokenFile), 0600u) << "replacing a loose file gives a private one";
    EXPECT_EQ(reopened.token(), QStringLiteral("slk_second"));
}

TEST(ConfigThreads, WorkersReadWhileTheMainThreadWrites) {
    Fresh fresh;
    Config& config = fresh.config;
    config.setToken(QStringLiteral("slk_token"));
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
                if (!server.isEmpty() && !server.startsWith(QStringLiteral("https://")))
                    ++wrongReads;
                (void)config.isConfigured();
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        config.setInteger(keys::recordFrameRate, i % 2 ? 60 : 30);
        config.setString(keys::server, QStringLiteral("https://host%1").arg(i));
    }
    stop = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(wrongReads, 0);
}

TEST(Paths, PrivateTemporaryDirectoryAndNames) {
    const QString dir = paths::privateTempDir();
    EXPECT_EQ(dir, test::testHome() + QStringLiteral("/.cache/Shotlark/tmp"));
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(QFileInfo(dir).absolutePath()), 0700u);

    const QString path = paths::temporaryPath(QStringLiteral("slk-body-"));
    const QString name = QFileInfo(path).fileName();
    EXPECT_EQ(QFileInfo(path).absolutePath(), dir);
    ASSERT_EQ(name.size(), 9 + 36);
    EXPECT_TRUE(name.startsWith(QStringLiteral("slk-body-")));
    EXPECT_EQ(name.mid(9), name.mid(9).toUpper());
    EXPECT_EQ(name.count(QLatin1Char('-')), 2 + 4);
    EXPECT_NE(paths::temporaryPath(QStringLiteral("x")), paths::temporaryPath(QStringLiteral("x")));
}
