// The update check against a test server: what is announced and when, and the versions compared.
#include "update/Updater.h"
#include "store/Config.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/TestHttpServer.h"
#include "update/Installation.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

using namespace shotlark;
using namespace shotlark::test;

namespace {

class UpdaterTest : public testing::Test {
protected:
    void SetUp() override {
        QCoreApplication::setApplicationVersion(QStringLiteral("1.4.0"));
        Config::shared().setString(keys::server, server.url(QStringLiteral("/team")));
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
    EXPECT_EQ(announced[0].first, QStringLiteral("Update available"));
    EXPECT_EQ(
        announced[0].second,
        QStringLiteral("Version 1.5.0 is ready. Choose \u201cUpdate to 1.5.0\u201d in the menu."));
    ASSERT_TRUE(Updater::shared().available());
    EXPECT_EQ(Updater::shared().available()->url, QUrl(QStringLiteral("http://m.example/S.zip")));
    EXPECT_TRUE(server.requests().back().header("Authorization").isNull());

    check(false);
    EXPECT_EQ(announced.size(), 1) << "told once";
    check(true);
    EXPECT_EQ(announced.size(), 2) << "a manual check always answers";
    offer("1.6.0");
    check(false);
    EXPECT_EQ(announced.size(), 3) << "a newer one is told again";
    EXPECT_EQ(Updater::shared().available()->version, QStringLiteral("1.6.0"));

    // Nothing newer (or no build for Linux) clears it; only a manual check says so.
    offer("1.4");
    check(false);
    EXPECT_EQ(announced.size(), 3);
    EXPECT_FALSE(Updater::shared().available());
    server.on("/team/api/setup/versions", {200, R"({"macos":{"version":"9","url":"x"}})"});
    check(true);
    ASSERT_EQ(announced.size(), 4);
    EXPECT_EQ(announced.back(), (std::pair{QStringLiteral("You're up to date"),
                                           QStringLiteral("Version 1.4.0 is the latest.")}));

    // A server that answers nothing useful: only a manual check reports it, and what was found
    // before stays.
    offer("2.0");
    check(false);
    server.on("/team/api/setup/versions", {200, "<html>maintenance</html>"});
    check(false);
    EXPECT_EQ(announced.size(), 5);
    check(true);
    EXPECT_EQ(announced.back(), (std::pair{QStringLiteral("Couldn't check for updates"),
                                           QStringLiteral("The server didn't answer.")}));
    EXPECT_EQ(Updater::shared().available()->version, QStringLiteral("2.0"));
    server.on("/team/api/setup/versions", {200, R"({"linux":{"version":"3.0","url":17}})"});
    check(true);
    EXPECT_EQ(announced.back().first, QStringLiteral("Couldn't check for updates"));

    const qsizetype before = announced.size();
    Config::shared().setString(keys::server, QStringLiteral("not a url"));
    check(true);
    EXPECT_EQ(announced.size(), before) << "no server, no check, no message";
}
