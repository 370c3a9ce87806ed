// The application driven in-process on Qt's offscreen platform, against a loopback test server,
// with recording stand-ins for the desktop services.
#include "app/AppDelegate.h"
#include "platform/LinuxBackends.h"
#include "server/HttpClient.h"
#include "server/UploadResult.h"
#include "server/Uploader.h"
#include "settings/SettingsWindowController.h"
#include "store/Config.h"
#include "store/History.h"
#include "store/Paths.h"
#include "support/Await.h"
#include "support/FakeServices.h"
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/TestHttpServer.h"
#include "update/Updater.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>

namespace {

QByteArray answerFor(const QString& name) {
    static int next = 0;
    const QString id = u"u%1"_s.arg(++next);
    return uR"({"id":"%1","url":"http://m/u/%1","raw_url":"http://m/r/%1/%2","thumbnail_url":"http://m/t/%1",)"
           R"("deletion_url":"http://m/d/%1","name":"%2","size":1})"_s.arg(id, name)
               .toUtf8();
}

class AppTest : public testing::Test {
protected:
    void SetUp() override {
        HttpClient::session().setLimits({4, 60s, 3600s});
        server.setHandler([this](const RecordedRequest& request) -> CannedResponse {
            if (request.path() == "/api/upload") {
                const QString name = request.partName();
                if (failing.contains(name))
                    return {500, R"({"error":"Disk full"})"};
                return {200, answerFor(name), "application/json", CannedResponse::Behaviour::Answer,
                        uploadDelay};
            }
            if (request.path() == "/api/me")
                return me;
            if (request.path() == "/api/features")
                return {200, R"({"enabled":["annotate"]})"};
            return {404, R"({"error":"Not found"})"};
        });
        app = std::make_unique<AppDelegate>(desktop.services());
    }

    void connectToServer() {
        Config::shared().setString(keys::server, server.url());
        Config::shared().setToken(u"slk_t"_s);
    }

    // Runs `start` and waits until the app posted the outcome of `batches` batches.
    void runBatches(const std::function<void()>& start, int batches = 1) {
        int finished = 0;
        const auto connection =
            QObject::connect(app.get(), &AppDelegate::batchFinished, [&] { ++finished; });
        start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return finished >= batches; }, 20000));
        QObject::disconnect(connection);
    }

    QStringList titles() const {
        QStringList out;
        for (const PostedNotification& n : desktop.notifications->posted)
            out.append(n.title);
        return out;
    }

    static QString clipboard() { return QGuiApplication::clipboard()->text(); }

    TestHttpServer server;
    FakeDesktop desktop;
    std::unique_ptr<AppDelegate> app;
    QStringList failing;
    std::chrono::milliseconds uploadDelay{0};
    CannedResponse me{200,
                      R"({"username":"ada","server":{"dashboard_url":"http://m/dashboard/"}})"};
};

} // namespace

TEST_F(AppTest, BatchWithAFailureReportsBothOutcomesInOrder) {
    connectToServer();
    Config::shared().setBool(keys::openAfterUpload, true);
    failing = {u"b.png"_s};
    const QStringList files = {writeTestFile(u"a.png"_s), writeTestFile(u"b.png"_s),
                               writeTestFile(u"c.png"_s)};
    runBatches([&] { app->upload(files, false); });
    EXPECT_EQ(titles(), (QStringList{u"Uploaded 2 files, links copied"_s, u"Upload failed"_s}));
    const QStringList links = clipboard().split(u'\n');
    ASSERT_EQ(links.size(), 2);
    EXPECT_TRUE(links[1].endsWith(u"c.png"_s) || links[1].startsWith(u"http://m/u/"_s));
    EXPECT_EQ(desktop.notifications->posted[0].body, clipboard());
    EXPECT_EQ(desktop.notifications->posted[0].link, QUrl(links[0]));
    EXPECT_EQ(desktop.notifications->posted[1].body, u"b.png: Disk full"_s);
    EXPECT_FALSE(desktop.notifications->posted[1].link);
    EXPECT_EQ(desktop.opener->opened, QList<QUrl>{QUrl(links[0])}) << "only the first link opens";
    EXPECT_EQ(desktop.sounds->played,
              (QList<platform::Sound>{platform::Sound::Success, platform::Sound::Failure}));
    const auto requests = server.requestsTo("/api/upload");
    ASSERT_EQ(requests.size(), 3);
    EXPECT_EQ(requests[0].partName(), u"a.png"_s) << "sent in order";
    EXPECT_EQ(requests[2].partName(), u"c.png"_s);
    EXPECT_EQ(History::entries().size(), 2);
    EXPECT_EQ(app->activeUploads(), 0);
    EXPECT_TRUE(app->progress().isEmpty());

    desktop.notifications->click(0);
    EXPECT_EQ(desktop.opener->opened.back(), QUrl(links[0]));
    Config::shared().setBool(keys::copyDirectLink, true);
    runBatches([&] { app->upload({files[0]}, false); });
    EXPECT_TRUE(clipboard().startsWith(u"http://m/r/"_s)) << clipboard();
    EXPECT_TRUE(QFile::exists(files[0])) << "files of the user are not deleted";
}

TEST_F(AppTest, ClipboardImageFilesAndNothing) {
    connectToServer();
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QGuiApplication::clipboard()->setImage(image);
    Config::shared().setBool(keys::compressScreenshots, false);
    runBatches([&] { app->uploadClipboard(); });
    const RecordedRequest sent = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(QRegularExpression(u"^clipboard_\\d+\\.png$"_s).match(sent.partName()).hasMatch());
    EXPECT_TRUE(sent.body.contains("Content-Type: image/png\r\n\r\n\x89PNG"));
    EXPECT_TRUE(QDir(paths::privateTempDir()).isEmpty());

    const QString mine = writeTestFile(u"report.pdf"_s);
    auto* files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile(mine)});
    files->setText(u"report.pdf"_s);
    QGuiApplication::clipboard()->setMimeData(files);
    runBatches([&] { app->uploadClipboard(); });
    EXPECT_EQ(server.requestsTo("/api/upload").back().partName(), u"report.pdf"_s);
    EXPECT_TRUE(QFile::exists(mine));

    QGuiApplication::clipboard()->clear();
    const auto before = server.requests().size();
    app->uploadClipboard();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return desktop.sounds->played.back() == platform::Sound::Beep; }, 5000));
    EXPECT_EQ(server.requests().size(), before);
}

TEST_F(AppTest, FailedCheckKeepsTheOldConnection) {
    connectToServer();
    me = {401, R"({"error":"Unknown token"})"};
    desktop.dialogs->answers = {0, 0};
    app->openURLs({u"shotlark://configure?server=%1&token="_s.arg(server.url())});
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.dialogs->alerts.size() == 2; }, 10000));
    // An empty value is passed on ("Bearer " arrives trimmed, as header values are).
    EXPECT_EQ(server.requestsTo("/api/me").front().header("Authorization"), "Bearer");
    const platform::Alert& alert = desktop.dialogs->alerts[1];
    EXPECT_EQ(alert.style, platform::Alert::Style::Warning);
    EXPECT_EQ(alert.message, u"Couldn't connect"_s);
    EXPECT_EQ(alert.informative, u"Unknown token"_s);
    EXPECT_EQ(Config::shared().server(), server.url());
    EXPECT_EQ(Config::shared().token(), u"slk_t"_s);
    EXPECT_TRUE(desktop.notifications->posted.isEmpty());
}

TEST_F(AppTest, DeletingARecentUpload) {
    connectToServer();
    for (const QString& name : {u"gone.png"_s, u"kept.png"_s, u"ok.png"_s}) {
        UploadResult result;
        result.id = result.name = name;
        result.url = u"http://m/u/"_s + name;
        result.deletionURL = server.url(u"/d/"_s + name);
        History::add(result);
    }
    server.setHandler([](const RecordedRequest& request) -> CannedResponse {
        if (request.path() == "/d/ok.png")
            return {200, "{}"};
        if (request.path() == "/d/gone.png")
            return {404, "<html>gone</html>", "text/html"};
        return {403, R"({"error":"no"})"};
    });
    auto remove = [&](const QString& name) {
        const QList<MenuItem> menu = app->menuModel();
        const MenuItem* item = findItem(menu, {u"Recent Uploads"_s, name, u"Delete from Server"_s});
        ASSERT_TRUE(item);
        item->trigger();
    };
    remove(u"ok.png"_s);
    remove(u"gone.png"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.notifications->posted.size() == 2; }, 10000));
    EXPECT_EQ(titles(), (QStringList{u"Deleted"_s, u"Deleted"_s}));
    EXPECT_EQ(desktop.notifications->posted[0].body, u"http://m/u/ok.png"_s);
    EXPECT_FALSE(desktop.notifications->posted[0].link);

    remove(u"kept.png"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !desktop.dialogs->alerts.isEmpty(); }, 10000));
    EXPECT_EQ(desktop.dialogs->alerts[0].message, u"Delete failed"_s);
    EXPECT_EQ(desktop.dialogs->alerts[0].informative,
              u"The server didn't accept the deletion link."_s);
    ASSERT_EQ(History::entries().size(), 1);
    EXPECT_EQ(History::entries().front().name, u"kept.png"_s);
}

TEST_F(AppTest, SettingsFormSavesOnlyWhatTheServerAccepted) {
    app->launch();
    SettingsView* form = SettingsWindowController::shared().view();
    ASSERT_TRUE(form && form->isVisible()) << "first start without a connection opens the settings";
    EXPECT_EQ(form->size(), QSize(500, 700));
    EXPECT_FALSE(form->connectButton()->isEnabled());

    form->serverField()->setText(u"  "_s + server.url() + u"/ "_s);
    form->tokenField()->setText(u"   "_s);
    EXPECT_TRUE(form->connectButton()->isEnabled()) << "blanks count as typed";

    me = {401, R"({"error":"Unknown token"})"};
    form->connectButton()->click();
    EXPECT_EQ(form->connectButton()->text(), u"Checking\u2026"_s);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->connectButton()->isEnabled(); }, 10000));
    EXPECT_TRUE(form->statusLine()->text().contains(u"Unknown token"_s));
    EXPECT_FALSE(Config::shared().stringValue(keys::server));
    EXPECT_EQ(server.requestsTo("/api/me").back().header("Authorization"), "Bearer")
        << "sent trimmed: empty";

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
