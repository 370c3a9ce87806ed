// The update check against a test server: what is announced and when, and the versions compared.
#include "update/Updater.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"
#include "update/Installation.h"

#include <QCoreApplication>

namespace {

class UpdaterTest : public testing::Test {
protected:
    void SetUp() override {
        QCoreApplication::setApplicationVersion(u"1.4.0"_s);
        Config::shared().setString(keys::server, server.url(u"/team"_s));
        connection = QObject::connect(&Updater::shared(), &Updater::announce,
                                      [this](const QString& title, const QString& body) {
                                          announced.append({title, body});
                                      });
    }
    void TearDown() override { QObject::disconnect(connection); }

    void offer(const QByteArray& version, const QByteArray& url = "http://m.example/S.zip") {
        server.on("/team/api/setup/versions",
                  {200, R"({"macos":{"version":"9.9","url":"x"},"linux":{"version":")" + version +
                            R"(","url":")" + url + R"("}})"});
    }

    void check(bool manual) { await(Updater::shared().checkNow(manual)); }

    TestHttpServer server;
    QList<std::pair<QString, QString>> announced;
    QMetaObject::Connection connection;
};

} // namespace

TEST_F(UpdaterTest, NewVersionsAreAnnouncedOnceAutomaticallyAndAlwaysOnRequest) {
    offer("1.5.0");
    check(false);
    ASSERT_EQ(announced.size(), 1);
    EXPECT_EQ(announced[0].first, u"Update available"_s);
    EXPECT_EQ(announced[0].second,
              u"Version 1.5.0 is ready. Choose \u201cUpdate to 1.5.0\u201d in the menu."_s);
    ASSERT_TRUE(Updater::shared().available());
    EXPECT_EQ(Updater::shared().available()->url, QUrl(u"http://m.example/S.zip"_s));
    EXPECT_TRUE(server.requests().back().header("Authorization").isNull());

    check(false);
    EXPECT_EQ(announced.size(), 1) << "told once";
    check(true);
    EXPECT_EQ(announced.size(), 2) << "a manual check always answers";
    offer("1.6.0");
    check(false);
    EXPECT_EQ(announced.size(), 3) << "a newer one is told again";
    EXPECT_EQ(Updater::shared().available()->version, u"1.6.0"_s);

    // Nothing newer (or no build for Linux) clears it; only a manual check says so.
    offer("1.4");
    check(false);
    EXPECT_EQ(announced.size(), 3);
    EXPECT_FALSE(Updater::shared().available());
    server.on("/team/api/setup/versions", {200, R"({"macos":{"version":"9","url":"x"}})"});
    check(true);
    ASSERT_EQ(announced.size(), 4);
    EXPECT_EQ(announced.back(),
              (std::pair{u"You're up to date"_s, u"Version 1.4.0 is the latest."_s}));

    // A server that answers nothing useful: only a manual check reports it, and what was found
    // before stays.
    offer("2.0");
    check(false);
    server.on("/team/api/setup/versions", {200, "<html>maintenance</html>"});
    check(false);
    EXPECT_EQ(announced.size(), 5);
    check(true);
    EXPECT_EQ(announced.back(),
              (std::pair{u"Couldn't check for updates"_s, u"The server didn't answer."_s}));
    EXPECT_EQ(Updater::shared().available()->version, u"2.0"_s);
    server.on("/team/api/setup/versions", {200, R"({"linux":{"version":"3.0","url":17}})"});
    check(true);
    EXPECT_EQ(announced.back().first, u"Couldn't check for updates"_s);

    const qsizetype before = announced.size();
    Config::shared().setString(keys::server, u"not a url"_s);
    check(true);
    EXPECT_EQ(announced.size(), before) << "no server, no check, no message";
}
