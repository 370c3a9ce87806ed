// The settings window on Qt's offscreen platform, against a loopback test server.
#include "platform/LinuxBackends.h"
#include "settings/SettingsWindowController.h"
#include "store/Config.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TEST(SettingsWindow, ConnectSavesOnlyWhatTheServerAccepted) {
    TestHttpServer server;
    CannedResponse me{401, R"({"error":"Unknown token"})"};
    server.setHandler([&](const RecordedRequest& request) {
        return request.path() == "/api/me" ? me : CannedResponse{404, R"({"error":"Not found"})"};
    });
    platform::XdgAutostart autostart;
    platform::CanberraSounds sounds;
    platform::NoGlobalHotkeys keys;
    SettingsWindowController settings(autostart, sounds, keys);
    settings.show();
    SettingsView* form = settings.view();
    ASSERT_TRUE(form && form->isVisible());
    EXPECT_FALSE(form->connectButton()->isEnabled()) << "nothing typed yet";

    form->serverField()->setText(u"  "_s + server.url() + u"/ "_s);
    form->tokenField()->setText(u"   "_s);
    EXPECT_TRUE(form->connectButton()->isEnabled()) << "blanks count as typed";
    form->connectButton()->click();
    EXPECT_EQ(form->connectButton()->text(), u"Checking\u2026"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->connectButton()->isEnabled(); }, 10000));
    EXPECT_TRUE(form->statusLine()->text().contains(u"Unknown token"_s));
    EXPECT_FALSE(Config::shared().stringValue(keys::server));
    // An empty value is passed on ("Bearer " arrives trimmed, as header values are).
    EXPECT_EQ(server.requestsTo("/api/me").back().header("Authorization"), "Bearer");

    me = {200, R"({"username":"ada"})"};
    form->tokenField()->setText(u" slk_typed \n"_s);
    form->connectButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->connectButton()->isEnabled(); }, 10000));
    EXPECT_EQ(form->statusLine()->text(), u"\u2714 Connected as ada"_s);
    EXPECT_EQ(Config::shared().server(), server.url());
    EXPECT_EQ(form->serverField()->text(), server.url());
    EXPECT_EQ(Config::shared().token(), u"slk_typed"_s);
    EXPECT_EQ(Config::shared().username(), u"ada"_s);
}
