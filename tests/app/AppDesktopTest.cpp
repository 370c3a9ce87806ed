// The real shotlark binary on the harness's private display and session bus, with the test
// server as its media server: uploads from a second start and from the tray menu, links on the
// clipboard as another X client reads it, notifications as a notification server sees them.
#include "store/Config.h"
#include "store/History.h"
#include "store/Paths.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/QtPrinters.h"
#include "support/ScreenDriver.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFont>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>

#include <csignal>

using namespace shotlark;
using namespace shotlark::test;

namespace {

const QString appBinary = QStringLiteral(SHOTLARK_APP_BINARY);

QString readClipboard() {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"),
                {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o")});
    xclip.waitForFinished(5000);
    return QString::fromUtf8(xclip.readAllStandardOutput());
}

void writeClipboard(const QByteArray& text) {
    // xclip keeps serving the selection in the background until another client takes it.
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"),
                {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-i")});
    xclip.write(text);
    xclip.closeWriteChannel();
    xclip.waitForFinished(5000);
    // The app learns that it lost the clipboard from an X event; a menu click arriving over
    // D-Bus first would still find its own copy. A person never copies and clicks that fast.
    QTest::qWait(500);
}

QString partName(const RecordedRequest& request) {
    return QRegularExpression(QStringLiteral("filename=\"([^\"]*)\""))
        .match(QString::fromUtf8(request.body))
        .captured(1);
}

class AppDesktopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(notifications.registerOnBus());
        ASSERT_TRUE(tray.registerOnBus()) << "the tray host must be there before the app asks";
        openLog = testHome() + QStringLiteral("/opened.txt");
        ::setenv("SHOTLARK_OPEN_LOG", QFile::encodeName(openLog).constData(), 1);
        server.setHandler([this](const RecordedRequest& request) -> CannedResponse {
            if (request.path() == "/api/upload") {
                if (failNext)
                    return {500, R"({"error":"Server <b>bold</b> & broken"})"};
                const QString id =
                    QStringLiteral("id%1").arg(server.requestsTo("/api/upload").size());
                return {
                    200,
                    QStringLiteral(
                        R"({"id":"%1","url":"http://m.example/u/%1","raw_url":"http://m.example/r/%1",)"
                        R"("thumbnail_url":"http://m.example/t/%1","deletion_url":"http://m.example/d/%1",)"
                        R"("name":"%2","size":4})")
                        .arg(id, partName(request))
                        .toUtf8()};
            }
            if (request.path() == "/api/features")
                return {200, R"({"enabled":["app_ocr","app_gif"]})"};
            return {404, R"({"error":"Not found"})"};
        });
        Config::shared().setString(keys::server, server.url());
        Config::shared().setToken(QStringLiteral("slk_desktop"));
    }

    void TearDown() override { ::unsetenv("SHOTLARK_OPEN_LOG"); }

    void startApp() {
        app = ChildProcess::start({appBinary});
        ASSERT_TRUE(app);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tray.itemService().isEmpty(); }, 20000))
            << "no tray icon";
    }

    // The app with its standard error in a file, and the certificate of `trusted` (if any)
    // among the certificates it trusts.
    void startLoggingApp(const TlsIdentity& trusted = {}) {
        logFile = testHome() + QStringLiteral("/stderr.txt");
        if (!trusted.certificateFile.isEmpty())
            ::setenv("SSL_CERT_FILE", QFile::encodeName(trusted.certificateFile).constData(), 1);
        // SHOTLARK_APP_WRAPPER runs the app under a checker, e.g. "valgrind --log-file=F".
        app = ChildProcess::start({QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                   QStringLiteral("exec $SHOTLARK_APP_WRAPPER \"$0\" 2>>\"$1\""),
                                   appBinary, logFile});
        ::unsetenv("SSL_CERT_FILE");
        ASSERT_TRUE(app);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !tray.itemService().isEmpty(); }, 60000));
    }

    QString log() const {
        QFile file(logFile);
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    bool waitForNotifications(qsizetype count) {
        return QTest::qWaitFor([&] { return notifications.received.size() >= count; }, 20000);
    }

    TestNotificationServer notifications;
    TestTrayHost tray;
    TestHttpServer server;
    std::unique_ptr<ChildProcess> app;
    QString openLog;
    QString logFile;
    bool failNext = false;
};

} // namespace

TEST_F(AppDesktopTest, UploadsFromASecondStartAndFromTheTrayMenu) {
    startApp();

    // `shotlark FILE` hands the file to the running instance, which uploads it like a drop.
    const QString file = testHome() + QStringLiteral("/Holiday photo.png");
    QFile(file).open(QIODevice::WriteOnly);
    QProcess second;
    second.start(appBinary, {file});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(waitForNotifications(1));
    const ReceivedNotification uploaded = notifications.received[0];
    EXPECT_EQ(uploaded.appName, QStringLiteral("Shotlark"));
    EXPECT_EQ(uploaded.summary, QStringLiteral("Uploaded, link copied"));
    EXPECT_EQ(uploaded.body, QStringLiteral("http://m.example/u/id1"));
    EXPECT_TRUE(uploaded.actions.contains(QStringLiteral("default")));
    EXPECT_EQ(partName(server.requestsTo("/api/upload").front()),
              QStringLiteral("Holiday photo.png"));
    EXPECT_EQ(readClipboard(), QStringLiteral("http://m.example/u/id1"));
    EXPECT_TRUE(QFile::exists(file));
    Config reread;
    ASSERT_EQ(History::entries(reread).size(), 1);
    EXPECT_EQ(History::entries(reread).front().name, QStringLiteral("Holiday photo.png"));

    notifications.invoke(uploaded.id + 1000, QStringLiteral("default")); // someone else's
    notifications.invoke(uploaded.id, QStringLiteral("default"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(openLog); }, 10000));
    QFile log(openLog);
    log.open(QIODevice::ReadOnly);
    EXPECT_EQ(log.readAll(), "http://m.example/u/id1\n");

    // The clipboard's text through the tray menu, as a desktop's tray host clicks it.
    writeClipboard("from the tray\n");
    ASSERT_TRUE(TrayMenu::of(tray.itemService()).click({QStringLiteral("Upload Clipboard")}));
    ASSERT_TRUE(waitForNotifications(2));
    EXPECT_EQ(notifications.received[1].summary, QStringLiteral("Uploaded, link copied"));
    const RecordedRequest text = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^clipboard_\\d+\\.txt$"))
                    .match(partName(text))
                    .hasMatch());
    EXPECT_TRUE(text.body.contains("\r\n\r\nfrom the tray\n\r\n--"));
    EXPECT_TRUE(QDir(paths::privateTempDir()).isEmpty()) << "the temporary text file is gone";
    EXPECT_EQ(readClipboard(), QStringLiteral("http://m.example/u/id2"));

    // `shotlark --action NAME` runs the action in the running instance, as its hotkey would.
    writeClipboard("by command");
    QProcess action;
    action.start(appBinary, {QStringLiteral("--action"), QStringLiteral("clipboard")});
    ASSERT_TRUE(action.waitForFinished(10000));
    EXPECT_EQ(action.exitCode(), 0);
    ASSERT_TRUE(waitForNotifications(3));
    EXPECT_TRUE(server.requestsTo("/api/upload").back().body.contains("\r\n\r\nby command\r\n--"));
    action.start(appBinary, {QStringLiteral("--action"), QStringLiteral("teleport")});
    ASSERT_TRUE(action.waitForFinished(10000));
    EXPECT_EQ(action.exitCode(), 2);
    EXPECT_TRUE(action.readAllStandardError().contains("unknown action"));

    // The app's own clipboard ownership must have reached the X server before ours replaces it.
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return readClipboard() == QStringLiteral("http://m.example/u/id3"); }, 5000));

    // A failure: server text is escaped for a markup-reading notification server, the capture kept.
    failNext = true;
    writeClipboard("will fail");
    ASSERT_TRUE(TrayMenu::of(tray.itemService()).click({QStringLiteral("Upload Clipboard")}));
    ASSERT_TRUE(waitForNotifications(4));
    const ReceivedNotification failed = notifications.received[3];
    EXPECT_EQ(failed.summary, QStringLiteral("Upload failed"));
    EXPECT_TRUE(
        failed.body.endsWith(QStringLiteral(": Server &lt;b&gt;bold&lt;/b&gt; &amp; broken")))
        << failed.body.toStdString();
    const QStringList kept =
        QDir(paths::dataDir() + QStringLiteral("/Failed uploads")).entryList(QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    QFile keptFile(paths::dataDir() + QStringLiteral("/Failed uploads/") + kept.front());
    keptFile.open(QIODevice::ReadOnly);
    EXPECT_EQ(keptFile.readAll(), "will fail");

    // The menu as the tray host shows it, and Quit.
    const DBusMenuNode menu = TrayMenu::of(tray.itemService()).open();
    QStringList labels;
    for (const DBusMenuNode& item : menu.children)
        labels.append(item.label());
    ASSERT_FALSE(labels.isEmpty());
    EXPECT_EQ(labels.front(), QStringLiteral("127.0.0.1"))
        << "connected, no user name stored: the host";
    EXPECT_TRUE(labels.contains(QStringLiteral("Recent Uploads")));
    ASSERT_TRUE(TrayMenu::of(tray.itemService()).click({QStringLiteral("Quit")}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !app->running(); }, 10000));
}

TEST_F(AppDesktopTest, LeftoversOfAnEarlierRunAreSweptAtStart) {
    // What a run that crashed mid-upload leaves: a request body and a capture directory; and a
    // replay buffer's segments, one of them unfinished, which are never the user's captures.
    const QString body = paths::temporaryPath(QStringLiteral("slk-body-"));
    QFile(body).open(QIODevice::WriteOnly);
    const QString capture = paths::newCaptureDir() + QStringLiteral("/Screenshot_crashed.png");
    QFile shot(capture);
    ASSERT_TRUE(shot.open(QIODevice::WriteOnly));
    shot.write("not lost");
    shot.close();
    const QString replay = paths::temporaryPath(QStringLiteral("slk-replay-"));
    ASSERT_TRUE(QDir().mkpath(replay));
    for (int i = 0; i < 4; ++i)
        writeTestFile(replay + QStringLiteral("/segment-%1.mp4").arg(i), QByteArray(48, 'x'));

    // Where the failed uploads can't be kept, the capture stays where it is.
    const QString failed = paths::dataDir() + QStringLiteral("/Failed uploads");
    QDir().mkpath(paths::dataDir());
    writeTestFile(failed, "in the way");
    startApp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !QFile::exists(replay); }, 10000));
    EXPECT_TRUE(QFile::exists(capture));
    ASSERT_TRUE(TrayMenu::of(tray.itemService()).click({QStringLiteral("Quit")}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !app->running(); }, 10000));

    // The user's earlier failed captures are not pushed out by anything but captures.
    QFile::remove(failed);
    QDir().mkpath(failed);
    for (int i = 0; i < 19; ++i)
        writeTestFile(failed + QStringLiteral("/Screenshot_%1.png").arg(i), "earlier");
    startApp();
    const QString kept = failed + QStringLiteral("/Screenshot_crashed.png");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(kept); }, 10000));
    EXPECT_EQ(QDir(failed).entryList(QDir::Files).size(), 20);

    // A reader that leaves a pipe or socket early (a paste stopped halfway) raises SIGPIPE in
    // the writer: the app lives on.
    ::kill(app->pid(), SIGPIPE);
    QTest::qWait(200);
    ASSERT_TRUE(app->running());
    EXPECT_TRUE(QTest::qWaitFor([] { return QDir(paths::privateTempDir()).isEmpty(); }, 5000));
    QFile keptFile(kept);
    keptFile.open(QIODevice::ReadOnly);
    EXPECT_EQ(keptFile.readAll(), "not lost");

    // A second start hands over to the running one and sweeps nothing.
    const QString busy = paths::temporaryPath(QStringLiteral("slk-body-"));
    QFile(busy).open(QIODevice::WriteOnly);
    QProcess second;
    second.start(appBinary, {QStringLiteral("--action"), QStringLiteral("clipboard")});
    ASSERT_TRUE(second.waitForFinished(10000));
    QTest::qWait(300);
    EXPECT_TRUE(QFile::exists(busy));
}

TEST_F(AppDesktopTest, ScreenshotsAndTextFromTheScreen) {
    // Known text on screen, where a region drag will find it.
    const QImage picture =
        textImage(QSize(1280, 800),
                  {QStringLiteral("Copied from the screen"), QStringLiteral("second line 42")}, 30,
                  QPoint(120, 200), 60);
    PictureWindow window(picture, QRect(0, 0, 1280, 800));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    startApp();

    // The screen under the pointer, whole, uploaded like any capture.
    QProcess action;
    action.start(appBinary, {QStringLiteral("--action"), QStringLiteral("screen")});
    ASSERT_TRUE(action.waitForFinished(10000));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ(notifications.received[0].summary, QStringLiteral("Uploaded, link copied"));
    const RecordedRequest shot = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^Screenshot_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.(png|jpg)$"))
            .match(partName(shot))
            .hasMatch())
        << partName(shot).toStdString();
    EXPECT_EQ(readClipboard(), QStringLiteral("http://m.example/u/id1"));
    EXPECT_TRUE(QDir(paths::privateTempDir()).isEmpty())
        << "the screenshot is gone after its upload";

    // Text from a dragged region, onto the clipboard; the capture is removed.
    action.start(appBinary, {QStringLiteral("--action"), QStringLiteral("ocr")});
    ASSERT_TRUE(action.waitForFinished(10000));
    ASSERT_TRUE(waitForCaptureOverlay());
    drag(QPoint(100, 160), QPoint(600, 280));
    ASSERT_TRUE(waitForNotifications(2));
    EXPECT_EQ(notifications.received[1].summary, QStringLiteral("Text copied"));
    EXPECT_EQ(notifications.received[1].body,
              QStringLiteral("Copied from the screen\nsecond line 42"));
    EXPECT_EQ(readClipboard(), QStringLiteral("Copied from the screen\nsecond line 42"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QDir(paths::privateTempDir()).isEmpty(); }, 5000));
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 1) << "text is not uploaded";

    // A dragged region, uploaded with its link on the clipboard (compression off: the PNG itself).
    Config::shared().setBool(keys::compressScreenshots, false);
    action.start(appBinary, {QStringLiteral("--action"), QStringLiteral("region")});
    ASSERT_TRUE(action.waitForFinished(10000));
    ASSERT_TRUE(waitForCaptureOverlay());
    drag(QPoint(50, 60), QPoint(450, 310));
    ASSERT_TRUE(waitForNotifications(3));
    EXPECT_EQ(notifications.received[2].summary, QStringLiteral("Uploaded, link copied"));
    const RecordedRequest region = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(partName(region).endsWith(QStringLiteral(".png")));
    const QByteArray marker = "Content-Type: image/png\r\n\r\n";
    const qsizetype start = region.body.indexOf(marker) + marker.size();
    const QImage uploaded =
        QImage::fromData(region.body.mid(start, region.body.lastIndexOf("\r\n--") - start), "PNG");
    EXPECT_EQ(uploaded.size(), QSize(400, 250));
    EXPECT_EQ(readClipboard(), QStringLiteral("http://m.example/u/id2"));
}

namespace {

// The windows on screen whose name matches `pattern`.
QStringList windowsNamed(const QString& pattern) {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                  QStringLiteral("--name"), pattern});
    search.waitForFinished(5000);
    return QString::fromUtf8(search.readAllStandardOutput())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The app's windows titled "Shotlark" that are on screen (alerts, the settings form).
QStringList shotlarkWindows() {
    return windowsNamed(QStringLiteral("^Shotlark$"));
}

// Presses a key in an alert, as a person would after reading it.
void pressIn(const QString& window, const QString& key) {
    xdotool({QStringLiteral("windowfocus"), window, QStringLiteral("key"), key});
}

class ConnectionDesktopTest : public AppDesktopTest {
protected:
    // Hands a configuration link to the running app and waits for its confirmation.
    QString handLink(const QString& server, int windowsBefore = 0) {
        QProcess second;
        second.start(appBinary, {QStringLiteral("shotlark://configure?server=") +
                                 QString::fromUtf8(QUrl::toPercentEncoding(server)) +
                                 QStringLiteral("&token=slk_tls")});
        second.waitForFinished(10000);
        EXPECT_EQ(second.exitCode(), 0);
        if (!QTest::qWaitFor([&] { return shotlarkWindows().size() > windowsBefore; }, 10000))
            return QString();
        return shotlarkWindows().constLast();
    }

    // Confirms a link to `server` and returns the "Couldn't connect" text it ends with.
    QString failedConnection(const QString& server) {
        const QString confirmation = handLink(server);
        EXPECT_FALSE(confirmation.isEmpty()) << "no confirmation for " << server.toStdString();
        pressIn(confirmation, QStringLiteral("Return"));
        const QString prefix = QStringLiteral("shotlark: Couldn't connect: ");
        EXPECT_TRUE(QTest::qWaitFor([&] { return log().count(prefix) > reported; }, 20000))
            << server.toStdString();
        reported = log().count(prefix);
        EXPECT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().size() == 1; }, 10000))
            << "the alert is on screen";
        const QStringList lines = log().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QString message;
        for (const QString& line : lines) {
            if (line.startsWith(prefix))
                message = line.mid(prefix.size());
        }
        const QStringList windows = shotlarkWindows();
        if (!windows.isEmpty())
            pressIn(windows.front(), QStringLiteral("Return"));
        EXPECT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().isEmpty(); }, 10000));
        EXPECT_TRUE(app->running()) << "after " << server.toStdString();
        return message;
    }

    qsizetype reported = 0;
};

} // namespace

TEST_F(ConnectionDesktopTest, HttpsServersConnectOrFailWithTheirReason) {
    const TlsIdentity trusted = TlsIdentity::make(testHome(), QStringLiteral("trusted"));
    const TlsIdentity stranger = TlsIdentity::make(testHome(), QStringLiteral("stranger"));
    ASSERT_FALSE(trusted.certificateFile.isEmpty());
    ASSERT_FALSE(stranger.certificateFile.isEmpty());
    startLoggingApp(trusted);

    // Nothing listening on the https port.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    EXPECT_EQ(failedConnection(QStringLiteral("https://127.0.0.1:%1").arg(closedPort)),
              QStringLiteral("Connection refused"));

    // A listener that takes the connection and closes it without a word.
    QTcpServer mute;
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&mute, &QTcpServer::pendingConnectionAvailable, [&mute] {
        while (QTcpSocket* socket = mute.nextPendingConnection())
            socket->abort();
    });
    EXPECT_FALSE(failedConnection(QStringLiteral("127.0.0.1:%1").arg(mute.serverPort())).isEmpty());

    // A certificate nobody vouches for: the TLS error is the message.
    TestHttpServer untrusted(stranger);
    untrusted.setDefault({200, R"({"username":"stranger"})"});
    const QString refusal = failedConnection(untrusted.url());
    EXPECT_TRUE(refusal.contains(QStringLiteral("certificate"))) << refusal.toStdString();
    EXPECT_TRUE(untrusted.requests().isEmpty());

    // A trusted certificate connects. A second link arrives while the first confirmation is
    // open; both are answered and nothing is re-entered.
    TestHttpServer secure(trusted);
    secure.setHandler([](const RecordedRequest& request) -> CannedResponse {
        if (request.path() == "/api/me")
            return {200, R"({"username":"tls-user"})"};
        if (request.path() == "/api/features")
            return {200, R"({"enabled":["app_ocr"]})"};
        return {404, R"({"error":"Not found"})"};
    });
    const QString first = handLink(secure.url());
    ASSERT_FALSE(first.isEmpty());
    const QString second = handLink(secure.url(), 1);
    ASSERT_FALSE(second.isEmpty());
    ASSERT_NE(first, second);
    pressIn(second, QStringLiteral("Escape"));
    ASSERT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().size() == 1; }, 10000));
    pressIn(first, QStringLiteral("Return"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !notifications.received.isEmpty() &&
                   notifications.received.back().summary == QStringLiteral("Connected");
        },
        20000));
    EXPECT_TRUE(app->running());
    Config reread;
    EXPECT_EQ(reread.server(), secure.url());
    EXPECT_EQ(reread.username(), QStringLiteral("tls-user"));
    EXPECT_EQ(reread.token(), QStringLiteral("slk_tls"));
    // The check and the refresh after it; the cancelled link sent nothing.
    EXPECT_EQ(secure.requestsTo("/api/me").size(), 2);
    EXPECT_EQ(std::count_if(notifications.received.cbegin(), notifications.received.cend(),
                            [](const ReceivedNotification& posted) {
                                return posted.summary == QStringLiteral("Connected");
                            }),
              1);
}

namespace {

QProcess* runAction(const QString& action) {
    auto* process = new QProcess;
    process->start(appBinary, {QStringLiteral("--action"), action});
    process->waitForFinished(10000);
    process->deleteLater();
    return process;
}

bool areaChooserShown() {
    return QTest::qWaitFor(
        [] { return !windowsNamed(QStringLiteral("^Shotlark area$")).isEmpty(); }, 10000);
}

} // namespace

TEST_F(AppDesktopTest, RecordingsFromHotkeyActionsToUploads) {
    startLoggingApp();
    PictureWindow backdrop(knownImage(1280, 800), QRect(0, 0, 1280, 800));
    backdrop.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !server.requestsTo("/api/features").isEmpty(); }, 10000));
    QTest::qWait(300);

    // A plain recording of a dragged area; the record action while choosing does nothing.
    runAction(QStringLiteral("record"));
    ASSERT_TRUE(areaChooserShown());
    runAction(QStringLiteral("record"));
    QTest::qWait(300);
    EXPECT_EQ(windowsNamed(QStringLiteral("^Shotlark area$")).size(), 1);
    drag(QPoint(100, 100), QPoint(500, 400));
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return !windowsNamed(QStringLiteral("^Shotlark recording frame$")).isEmpty(); },
        10000))
        << "the frame around the area";
    QTest::qWait(1500);
    QStringList labels;
    for (const DBusMenuNode& item : TrayMenu::of(tray.itemService()).open().children)
        labels.append(item.label());
    EXPECT_TRUE(
        labels.filter(QRegularExpression(QStringLiteral("^Stop Recording \\(0:0\\d\\)"))).size() ==
        1)
        << labels.join(QLatin1Char('|')).toStdString();

    // The GIF action stops it, and it is uploaded as it is, without conversion.
    runAction(QStringLiteral("gif"));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ(notifications.received.back().summary, QStringLiteral("Uploaded, link copied"));
    const RecordedRequest movie = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(QRegularExpression(
                    QStringLiteral("^Recording_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.mp4$"))
                    .match(partName(movie))
                    .hasMatch())
        << partName(movie).toStdString();
    EXPECT_TRUE(movie.header("X-Convert").isNull());
    EXPECT_TRUE(movie.body.contains("Content-Type: video/mp4"));
    EXPECT_TRUE(windowsNamed(QStringLiteral("^Shotlark recording frame$")).isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([] { return QDir(paths::privateTempDir()).isEmpty(); }, 5000));

    // A GIF recording of a whole screen (a click), stopped by the record action.
    runAction(QStringLiteral("gif"));
    ASSERT_TRUE(areaChooserShown());
    xdotool({QStringLiteral("mousemove"), QStringLiteral("640"), QStringLiteral("400"),
             QStringLiteral("click"), QStringLiteral("1")});
    QTest::qWait(1500);
    EXPECT_TRUE(windowsNamed(QStringLiteral("^Shotlark recording frame$")).isEmpty())
        << "no frame around a whole screen";
    runAction(QStringLiteral("record"));
    ASSERT_TRUE(waitForNotifications(2));
    EXPECT_EQ(server.requestsTo("/api/upload").back().header("X-Convert"), "gif");

    // Escape leaves everything as it was.
    runAction(QStringLiteral("record"));
    ASSERT_TRUE(areaChooserShown());
    xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return windowsNamed(QStringLiteral("^Shotlark area$")).isEmpty(); }, 5000));
    labels.clear();
    for (const DBusMenuNode& item : TrayMenu::of(tray.itemService()).open().children)
        labels.append(item.label());
    EXPECT_TRUE(labels.contains(QStringLiteral("Record Screen")));
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 2);

    // A recording whose screen goes away ends with an alert, and nothing is uploaded.
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                {QStringLiteral("--setmonitor"), QStringLiteral("left"),
                                 QStringLiteral("640/100x800/100+0+0"), QStringLiteral("screen")}),
              0);
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                {QStringLiteral("--setmonitor"), QStringLiteral("right"),
                                 QStringLiteral("640/100x800/100+640+0"), QStringLiteral("none")}),
              0);
    QTest::qWait(500);
    runAction(QStringLiteral("record"));
    ASSERT_TRUE(areaChooserShown());
    drag(QPoint(800, 200), QPoint(1000, 400));
    QTest::qWait(1000);
    ASSERT_EQ(QProcess::execute(QStringLiteral("xrandr"),
                                {QStringLiteral("--delmonitor"), QStringLiteral("right")}),
              0);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log().contains(QStringLiteral("shotlark: Recording stopped: ")); }, 10000))
        << log().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 5000))
        << "the alert is on screen";
    QTest::qWait(500);
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 2);
    QDirIterator movies(paths::privateTempDir(), {QStringLiteral("*.mp4")}, QDir::Files,
                        QDirIterator::Subdirectories);
    EXPECT_FALSE(movies.hasNext()) << "nothing half-written is left";
    EXPECT_TRUE(app->running());
}

namespace {

// The reference server with a user, and the app connected to it with direct links.
std::unique_ptr<ChildProcess> startReferenceServer(QString& url) {
    const QString data = testHome() + QStringLiteral("/server-data");
    QProcess create;
    create.start(
        QStringLiteral(SHOTLARK_SERVER_BINARY),
        {QStringLiteral("--data"), data, QStringLiteral("--create-user"), QStringLiteral("ada")});
    if (!create.waitForFinished(20000))
        return nullptr;
    const QString token = QString::fromUtf8(create.readAllStandardOutput()).trimmed();
    auto reference =
        startAndReadLine({QStringLiteral(SHOTLARK_SERVER_BINARY), QStringLiteral("--data"), data,
                          QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                          QStringLiteral("--ready-fd"), QStringLiteral("{fd}")},
                         &url);
    Config::shared().setString(keys::server, url);
    Config::shared().setToken(token);
    Config::shared().setBool(keys::copyDirectLink, true);
    return reference;
}

} // namespace

TEST_F(AppDesktopTest, GifRecordingComesBackFromTheReferenceServerAsAGif) {
    QString url;
    auto reference = startReferenceServer(url);
    ASSERT_TRUE(reference);
    PictureWindow backdrop(knownImage(1280, 800), QRect(0, 0, 1280, 800));
    backdrop.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));
    startLoggingApp();
    QTest::qWait(500);

    runAction(QStringLiteral("gif"));
    ASSERT_TRUE(areaChooserShown());
    drag(QPoint(100, 100), QPoint(740, 500));
    QTest::qWait(2500);
    runAction(QStringLiteral("gif"));
    ASSERT_TRUE(waitForNotifications(1));
    const ReceivedNotification uploaded = notifications.received.back();
    ASSERT_EQ(uploaded.summary, QStringLiteral("Uploaded, link copied"))
        << uploaded.body.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/r/\\w+/Recording_[-_\\d]+\\.gif$"))
                    .match(uploaded.body)
                    .hasMatch())
        << uploaded.body.toStdString();
    EXPECT_EQ(readClipboard(), uploaded.body);

    // The link serves a GIF of the area: 640 pixels wide, several frames.
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                   QStringLiteral("-show_entries"),
                   QStringLiteral("stream=codec_name,width,nb_read_frames"), QStringLiteral("-of"),
                   QStringLiteral("csv=p=0"), uploaded.body});
    ASSERT_TRUE(ffprobe.waitForFinished(30000));
    const QStringList fields =
        QString::fromUtf8(ffprobe.readAllStandardOutput().trimmed()).split(QLatin1Char(','));
    ASSERT_EQ(fields.size(), 3) << fields.join(QLatin1Char(',')).toStdString();
    EXPECT_EQ(fields[0], QStringLiteral("gif"));
    EXPECT_EQ(fields[1], QStringLiteral("640"));
    EXPECT_GE(fields[2].toInt(), 15);
    EXPECT_TRUE(QTest::qWaitFor([] { return QDir(paths::privateTempDir()).isEmpty(); }, 5000))
        << "the movie went with the upload";
}

TEST_F(AppDesktopTest, ReplaySavedToTheReferenceServer) {
    QString url;
    auto reference = startReferenceServer(url);
    ASSERT_TRUE(reference);
    PictureWindow backdrop(knownImage(1280, 800), QRect(0, 0, 1280, 800));
    backdrop.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&backdrop));
    startLoggingApp();

    // Saving while the buffer is off says so.
    runAction(QStringLiteral("replay"));
    ASSERT_TRUE(waitForNotifications(1));
    EXPECT_EQ(notifications.received.back().summary, QStringLiteral("Replay buffer is off"));

    ASSERT_TRUE(TrayMenu::of(tray.itemService()).click({QStringLiteral("Start Replay Buffer")}));
    QTest::qWait(3000);
    runAction(QStringLiteral("replay"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return notifications.received.back().summary != QStringLiteral("Replay buffer is off");
        },
        30000));
    const ReceivedNotification saved = notifications.received.back();
    ASSERT_EQ(saved.summary, QStringLiteral("Replay saved, link copied"))
        << saved.body.toStdString();
    EXPECT_TRUE(saved.body.startsWith(url + QStringLiteral("/r/")));
    EXPECT_EQ(readClipboard(), saved.body);
    Config reread;
    EXPECT_EQ(History::entries(reread).size(), 1);

    // The joined clip on the server: about the three seconds the buffer ran.
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                   QStringLiteral("format=duration"), QStringLiteral("-of"),
                   QStringLiteral("csv=p=0"), saved.body});
    ASSERT_TRUE(ffprobe.waitForFinished(30000));
    const double duration = ffprobe.readAllStandardOutput().trimmed().toDouble();
    EXPECT_GT(duration, 2.0);
    EXPECT_LT(duration, 6.0);
    // The copies went with the upload; the buffer's own directory stays while it runs.
    EXPECT_TRUE(QDir(paths::privateTempDir())
                    .entryList({QStringLiteral("Replay_*")}, QDir::Files)
                    .isEmpty());

    // A server that has gone away: the copies are kept with the failed uploads, not deleted.
    reference.reset();
    QTest::qWait(1500);
    const qsizetype before = notifications.received.size();
    runAction(QStringLiteral("replay"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.received.size() > before; }, 30000));
    const ReceivedNotification failed = notifications.received.back();
    EXPECT_EQ(failed.summary, QStringLiteral("Replay upload failed"));
    EXPECT_TRUE(failed.actions.contains(QStringLiteral("default"))) << "it links the kept copy";
    const QStringList kept = QDir(paths::dataDir() + QStringLiteral("/Failed uploads"))
                                 .entryList({QStringLiteral("Replay_*.mp4")}, QDir::Files);
    EXPECT_FALSE(kept.isEmpty());

    // The toggle stops it and removes its segments.
    ASSERT_TRUE(TrayMenu::of(tray.itemService()).click({QStringLiteral("Stop Replay Buffer")}));
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return QDir(paths::privateTempDir())
                .entryList({QStringLiteral("slk-replay-*")}, QDir::Dirs)
                .isEmpty();
        },
        5000));
    EXPECT_FALSE(Config().boolValue(keys::replayEnabled));
    EXPECT_TRUE(app->running());
}
