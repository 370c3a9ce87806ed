// The real shotlark binary on the harness's private display and session bus, with the test
// server as its media server: uploads from a second start and from the tray menu, links on the
// clipboard as another X client reads it, notifications as a notification server sees them.
#include "store/Config.h"
#include "store/History.h"
#include "store/Paths.h"
#include "support/ChildProcess.h"
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/Prelude.h"
#include "support/Programs.h"
#include "support/ScreenDriver.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const QString appBinary = QStringLiteral(SHOTLARK_APP_BINARY);

QString readClipboard() {
    return run({u"xclip"_s, u"-selection"_s, u"clipboard"_s, u"-o"_s}, 5000).out;
}

// The file of that type an upload carried.
QByteArray uploadedFile(const RecordedRequest& upload, const QByteArray& type = "image/png") {
    const QByteArray marker = "Content-Type: " + type + "\r\n\r\n";
    const qsizetype start = upload.body.indexOf(marker) + marker.size();
    return upload.body.mid(start, upload.body.lastIndexOf("\r\n--") - start);
}

QImage uploadedPicture(const RecordedRequest& upload) {
    return QImage::fromData(uploadedFile(upload), "PNG");
}

QByteArray readClipboardBytes(const QString& type) {
    QProcess xclip;
    xclip.start(u"xclip"_s, {u"-selection"_s, u"clipboard"_s, u"-t"_s, type, u"-o"_s});
    xclip.waitForFinished(5000);
    return xclip.readAllStandardOutput();
}

void writeClipboard(const QByteArray& text, const QString& type = u"UTF8_STRING"_s) {
    // xclip keeps serving the selection in the background until another client takes it.
    QProcess xclip;
    xclip.start(u"xclip"_s, {u"-selection"_s, u"clipboard"_s, u"-t"_s, type, u"-i"_s});
    xclip.write(text);
    xclip.closeWriteChannel();
    xclip.waitForFinished(5000);
    // The app learns that it lost the clipboard from an X event; a menu click arriving over
    // D-Bus first would still find its own copy. A person never copies and clicks that fast.
    QTest::qWait(500);
}

bool matches(const QString& pattern, const QString& text) {
    return QRegularExpression(pattern).match(text).hasMatch();
}

Ran action(const QString& name) {
    return run({appBinary, u"--action"_s, name}, 10000);
}

// The windows on screen whose name matches `pattern`.
QStringList windowsNamed(const QString& pattern) {
    return run({u"xdotool"_s, u"search"_s, u"--onlyvisible"_s, u"--name"_s, pattern}, 5000)
        .out.split(u'\n', Qt::SkipEmptyParts);
}

bool waitForWindows(const QString& pattern, bool shown) {
    return QTest::qWaitFor([&] { return windowsNamed(pattern).isEmpty() != shown; }, 10000);
}

// The app's windows titled "Shotlark" that are on screen (alerts, the settings form).
QStringList shotlarkWindows() {
    return windowsNamed(u"^Shotlark$"_s);
}

// Presses a key in an alert, as a person would after reading it.
void pressIn(const QString& window, const QString& key) {
    xdotool({u"windowfocus"_s, window, u"key"_s, key});
}

bool tempDirEmpties() {
    return QTest::qWaitFor([] { return QDir(paths::privateTempDir()).isEmpty(); }, 5000);
}

class AppDesktopTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(notifications.registerOnBus());
        if (withTray) {
            ASSERT_TRUE(tray.registerOnBus()) << "the tray host must be there before the app asks";
        }
        openLog = testHome() + u"/opened.txt"_s;
        ::setenv("SHOTLARK_OPEN_LOG", QFile::encodeName(openLog).constData(), 1);
        server.setHandler([this](const RecordedRequest& request) -> CannedResponse {
            if (request.path() == "/api/upload") {
                if (failNext || failing.contains(request.partName()))
                    return {500, R"({"error":"Server <b>bold</b> & broken"})"};
                const QString id = u"id%1"_s.arg(server.requestsTo("/api/upload").size());
                return {
                    200,
                    uR"({"id":"%1","url":"http://m.example/u/%1",)"
                    R"("raw_url":"http://m.example/r/%1","thumbnail_url":"http://m.example/t/%1",)"
                    R"("deletion_url":"%2","name":"%3","size":4})"_s
                        .arg(id, server.url(u"/d/"_s + id), request.partName())
                        .toUtf8()};
            }
            if (request.path().startsWith("/d/")) // the first upload may go, no other
                return request.path() == "/d/id1" ? CannedResponse{200, "{}"}
                                                  : CannedResponse{403, R"({"error":"no"})"};
            if (request.path() == "/api/features")
                return {200, R"({"enabled":["app_ocr","app_gif"]})"};
            return {404, R"({"error":"Not found"})"};
        });
        Config::shared().setString(keys::server, server.url());
        Config::shared().setToken(u"slk_desktop"_s);
    }

    void TearDown() override { ::unsetenv("SHOTLARK_OPEN_LOG"); }

    // The app with its standard error in a file, and the certificate of `trusted` (if any)
    // among the certificates it trusts.
    void startApp(const TlsIdentity& trusted = {}) {
        logFile = testHome() + u"/stderr.txt"_s;
        if (!trusted.certificateFile.isEmpty())
            ::setenv("SSL_CERT_FILE", QFile::encodeName(trusted.certificateFile).constData(), 1);
        const qsizetype before = tray.items().size();
        // SHOTLARK_APP_WRAPPER runs the app under a checker, e.g. "valgrind --log-file=F".
        app = ChildProcess::start({u"/bin/sh"_s, u"-c"_s,
                                   u"exec $SHOTLARK_APP_WRAPPER \"$0\" 2>>\"$1\""_s, appBinary,
                                   logFile});
        ::unsetenv("SSL_CERT_FILE");
        ASSERT_TRUE(app);
        if (withTray) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return tray.items().size() > before; }, 60000))
                << "no tray icon";
        }
    }

    QString log() const { return QString::fromUtf8(readTestFile(logFile)); }

    // The `count`th notification (from 1), once it came.
    ReceivedNotification notification(qsizetype count) {
        const bool came =
            QTest::qWaitFor([&] { return notifications.received.size() >= count; }, 30000);
        EXPECT_TRUE(came) << "notification " << count << " did not come; " << log();
        return came ? notifications.received[count - 1] : ReceivedNotification{};
    }

    TrayMenu menu() const { return TrayMenu::of(tray.items().last()); }

    // The tray icon's tooltip, as the tray host reads it (its texts in gdbus's print).
    QString toolTip() const {
        return run({u"gdbus"_s, u"call"_s, u"--session"_s, u"--dest"_s, tray.items().last(),
                    u"--object-path"_s, u"/StatusNotifierItem"_s, u"--method"_s,
                    u"org.freedesktop.DBus.Properties.Get"_s, u"org.kde.StatusNotifierItem"_s,
                    u"ToolTip"_s},
                   5000)
            .out;
    }

    void quit() {
        ASSERT_TRUE(menu().click({u"Quit"_s}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !app->running(); }, 10000));
    }

    // A backdrop of known pixels under everything the app puts on screen.
    void showBackdrop(const QImage& image = knownImage(1280, 800)) {
        backdrop = std::make_unique<PictureWindow>(image, QRect(0, 0, 1280, 800));
        backdrop->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(backdrop.get()));
    }

    TestNotificationServer notifications;
    TestTrayHost tray;
    TestHttpServer server;
    std::unique_ptr<ChildProcess> app;
    std::unique_ptr<PictureWindow> backdrop;
    QString openLog, logFile;

    // The opener writes a whole line; reading as soon as the file exists can find it empty.
    bool openedLinkLogged() const {
        return QTest::qWaitFor([&] { return readTestFile(openLog).endsWith('\n'); }, 10000);
    }
    bool failNext = false;
    QStringList failing;  // names whose upload fails
    bool withTray = true; // set before SetUp
};

} // namespace

TEST_F(AppDesktopTest, UploadsFromASecondStartAndFromTheTrayMenu) {
    startApp();

    // `shotlark FILE` hands the file to the running instance, which uploads it like a drop.
    const QString file = writeTestFile(u"Holiday photo.png"_s);
    EXPECT_EQ(run({appBinary, file}, 10000).exitCode, 0);
    const ReceivedNotification uploaded = notification(1);
    EXPECT_EQ(uploaded.appName, u"Shotlark"_s);
    EXPECT_EQ(uploaded.summary, u"Uploaded, link copied"_s);
    EXPECT_EQ(uploaded.body, u"http://m.example/u/id1"_s);
    EXPECT_TRUE(uploaded.actions.contains(u"default"_s));
    EXPECT_EQ(server.requestsTo("/api/upload").front().partName(), u"Holiday photo.png"_s);
    EXPECT_EQ(readClipboard(), u"http://m.example/u/id1"_s);
    EXPECT_TRUE(QFile::exists(file));
    Config reread;
    ASSERT_EQ(History::entries(reread).size(), 1);
    EXPECT_EQ(History::entries(reread).front().name, u"Holiday photo.png"_s);

    notifications.invoke(uploaded.id + 1000, u"default"_s); // someone else's
    notifications.invoke(uploaded.id, u"default"_s);
    ASSERT_TRUE(openedLinkLogged());
    EXPECT_EQ(readTestFile(openLog), "http://m.example/u/id1\n");

    // The clipboard's text through the tray menu, as a desktop's tray host clicks it.
    writeClipboard("from the tray \xc3\xa9\n"); // UTF-8 stays UTF-8
    ASSERT_TRUE(menu().click({u"Upload Clipboard"_s}));
    EXPECT_EQ(notification(2).summary, u"Uploaded, link copied"_s);
    const RecordedRequest text = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(matches(u"^clipboard_\\d+\\.txt$"_s, text.partName()));
    EXPECT_TRUE(text.body.contains("\r\n\r\nfrom the tray \xc3\xa9\n\r\n--"));
    EXPECT_TRUE(QDir(paths::privateTempDir()).isEmpty()) << "the temporary text file is gone";
    EXPECT_EQ(readClipboard(), u"http://m.example/u/id2"_s);

    // `shotlark --action NAME` runs the action in the running instance, as its hotkey would.
    writeClipboard("by command");
    EXPECT_EQ(action(u"clipboard"_s).exitCode, 0);
    notification(3);
    EXPECT_TRUE(server.requestsTo("/api/upload").back().body.contains("\r\n\r\nby command\r\n--"));
    const Ran unknown = action(u"teleport"_s);
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.contains(u"unknown action"_s));

    // A copied picture goes up as a PNG; copied files go up as themselves, and stay.
    QImage flat(64, 48, QImage::Format_RGB32);
    flat.fill(Qt::darkCyan);
    flat.save(testHome() + u"/flat.png"_s);
    writeClipboard(readTestFile(testHome() + u"/flat.png"_s), u"image/png"_s);
    action(u"clipboard"_s);
    notification(4);
    const RecordedRequest picture = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(matches(u"^clipboard_\\d+\\.png$"_s, picture.partName())) << picture.partName();
    EXPECT_TRUE(picture.body.contains("Content-Type: image/png\r\n\r\n\x89PNG"));
    const QString report = writeTestFile(u"report.pdf"_s);
    writeClipboard(QUrl::fromLocalFile(report).toEncoded() + "\r\n", u"text/uri-list"_s);
    action(u"clipboard"_s);
    notification(5);
    EXPECT_EQ(server.requestsTo("/api/upload").back().partName(), u"report.pdf"_s);
    EXPECT_TRUE(QFile::exists(report));

    // The app's own clipboard ownership must have reached the X server before ours replaces it.
    ASSERT_TRUE(
        QTest::qWaitFor([] { return readClipboard() == u"http://m.example/u/id5"_s; }, 5000));

    // A failure: server text is escaped for a markup-reading notification server, the capture kept.
    failNext = true;
    writeClipboard("will fail");
    ASSERT_TRUE(menu().click({u"Upload Clipboard"_s}));
    const ReceivedNotification failed = notification(6);
    EXPECT_EQ(failed.summary, u"Upload failed"_s);
    EXPECT_TRUE(failed.body.endsWith(u": Server &lt;b&gt;bold&lt;/b&gt; &amp; broken"_s))
        << failed.body;
    const QString failedDir = paths::dataDir() + u"/Failed uploads/"_s;
    const QStringList kept = QDir(failedDir).entryList(QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readTestFile(failedDir + kept.front()), "will fail");
    // Its notification opens the kept copy.
    QFile::remove(openLog);
    notifications.invoke(failed.id, u"default"_s);
    ASSERT_TRUE(openedLinkLogged());
    EXPECT_EQ(readTestFile(openLog),
              QUrl::fromLocalFile(failedDir + kept.front()).toEncoded() + '\n');

    // Deleting recent uploads asks first; what the server accepts leaves the list, what it
    // refuses stays.
    failNext = false;
    const QStringList deleteHoliday = {u"Recent Uploads"_s, u"Holiday photo.png"_s,
                                       u"Delete from Server"_s};
    ASSERT_TRUE(menu().click(deleteHoliday));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000));
    pressIn(shotlarkWindows().front(), u"Escape"_s); // Cancel
    ASSERT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().isEmpty(); }, 10000));
    ASSERT_TRUE(menu().click(deleteHoliday));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000));
    EXPECT_TRUE(server.requestsTo("/d/id1").isEmpty()) << "asking deletes nothing";
    pressIn(shotlarkWindows().front(), u"Return"_s); // Delete
    EXPECT_EQ(notification(7).summary, u"Deleted"_s);
    EXPECT_EQ(notification(7).body, u"http://m.example/u/id1"_s);
    const QString second = server.requestsTo("/api/upload")[1].partName();
    ASSERT_TRUE(menu().click({u"Recent Uploads"_s, second, u"Delete from Server"_s}));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000));
    pressIn(shotlarkWindows().front(), u"Return"_s);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return log().contains(u"shotlark: Delete failed"_s); }, 10000));
    EXPECT_TRUE(
        log().contains(u"shotlark: Delete failed: The server didn't accept the deletion link."_s));
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000));
    pressIn(shotlarkWindows().front(), u"Return"_s);
    const auto left = History::entries(Config());
    EXPECT_EQ(left.size(), 4);
    EXPECT_TRUE(std::none_of(left.begin(), left.end(),
                             [](const HistoryEntry& entry) { return entry.id == u"id1"_s; }));

    // What failed is offered again: shown in its folder, retried, and gone from the folder once
    // it is on the server.
    const QStringList keptPath = {u"Failed Uploads"_s, kept.front()};
    QFile::remove(openLog);
    ASSERT_TRUE(menu().click(keptPath + QStringList{u"Show in Folder"_s}));
    ASSERT_TRUE(openedLinkLogged());
    EXPECT_EQ(readTestFile(openLog),
              QUrl::fromLocalFile(QDir::cleanPath(failedDir)).toEncoded() + '\n');
    ASSERT_TRUE(menu().click(keptPath + QStringList{u"Retry"_s}));
    EXPECT_EQ(notification(8).summary, u"Uploaded, link copied"_s);
    EXPECT_TRUE(server.requestsTo("/api/upload").back().body.contains("\r\n\r\nwill fail\r\n"));
    EXPECT_TRUE(QDir(failedDir).isEmpty());
    EXPECT_FALSE(menu().open().labels().contains(u"Failed Uploads"_s));

    // Upload Files… starts in the pictures, then where the last choice was made: a bare name is
    // found there.
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    writeTestFile(pictures + u"/in-pictures.png"_s);
    writeTestFile(testHome() + u"/elsewhere/first.txt"_s);
    writeTestFile(testHome() + u"/elsewhere/second.txt"_s);
    const QStringList picks = {u"in-pictures.png"_s, testHome() + u"/elsewhere/first.txt"_s,
                               u"second.txt"_s};
    for (const QString& pick : picks) {
        ASSERT_TRUE(menu().click({u"Upload Files\u2026"_s}));
        ASSERT_TRUE(waitForWindows(u"^Upload Files$"_s, true));
        xdotool({u"windowfocus"_s, windowsNamed(u"^Upload Files$"_s).front(), u"type"_s, pick});
        xdotool({u"key"_s, u"Return"_s});
        ASSERT_TRUE(waitForWindows(u"^Upload Files$"_s, false)) << pick;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return server.requestsTo("/api/upload").back().partName() ==
                       QFileInfo(pick).fileName();
            },
            10000))
            << pick;
    }

    // The menu as the tray host shows it, and Quit.
    const QStringList labels = menu().open().labels();
    ASSERT_FALSE(labels.isEmpty());
    EXPECT_EQ(labels.front(), u"127.0.0.1"_s) << "connected, no user name stored: the host";
    EXPECT_TRUE(labels.contains(u"Recent Uploads"_s));
    // Qt hands the tray the text with its shortcut mark as DBusMenu writes one ("_"): the '&'
    // stays, marked, where an unescaped one would have turned into the mark itself.
    EXPECT_TRUE(labels.contains(u"Capture Region _& Annotate"_s)) << labels.join(u'|');
    quit();
}

TEST_F(AppDesktopTest, LeftoversOfAnEarlierRunAreSweptAtStart) {
    // What a run that crashed mid-upload leaves: a request body and a capture directory; and a
    // replay buffer's segments, one of them unfinished, which are never the user's captures.
    writeTestFile(paths::temporaryPath(u"slk-body-"_s));
    const QString capture =
        writeTestFile(paths::newCaptureDir() + u"/Screenshot_crashed.png"_s, "not lost");
    const QString replay = paths::temporaryPath(u"slk-replay-"_s);
    for (int i = 0; i < 4; ++i)
        writeTestFile(replay + u"/segment-%1.mp4"_s.arg(i), QByteArray(48, 'x'));

    // Where the failed uploads can't be kept, the capture stays where it is.
    const QString failed = writeTestFile(paths::dataDir() + u"/Failed uploads"_s, "in the way");
    startApp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !QFile::exists(replay); }, 10000));
    EXPECT_TRUE(QFile::exists(capture));
    quit();

    // The user's earlier failed captures are not pushed out by anything but captures.
    QFile::remove(failed);
    for (int i = 0; i < 19; ++i)
        writeTestFile(failed + u"/Screenshot_%1.png"_s.arg(i), "earlier");
    startApp();
    const QString kept = failed + u"/Screenshot_crashed.png"_s;
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(kept); }, 10000));
    EXPECT_EQ(QDir(failed).entryList(QDir::Files).size(), 20);
    EXPECT_EQ(readTestFile(kept), "not lost");

    // A reader that leaves a pipe or socket early (a paste stopped halfway) raises SIGPIPE in
    // the writer: the app lives on.
    ::kill(app->pid(), SIGPIPE);
    QTest::qWait(200);
    ASSERT_TRUE(app->running());
    EXPECT_TRUE(tempDirEmpties());

    // A second start hands over to the running one and sweeps nothing.
    const QString busy = writeTestFile(paths::temporaryPath(u"slk-body-"_s));
    action(u"clipboard"_s);
    QTest::qWait(300);
    EXPECT_TRUE(QFile::exists(busy));
}

TEST_F(AppDesktopTest, ScreenshotsAndTextFromTheScreen) {
    // Known text on screen, where a region drag will find it.
    const QImage screen =
        textImage(QSize(1280, 800), {u"Copied from the screen"_s, u"second line 42"_s}, 30,
                  QPoint(120, 200), 60);
    showBackdrop(screen);
    Config::shared().setBool(keys::openAfterUpload, true);
    Config::shared().setBool(keys::compressScreenshots, false); // the PNGs themselves go up
    Config::shared().setInteger(keys::captureDelay, 3);
    startApp();

    // The screen under the pointer, whole, uploaded like any capture: after the delay, counted
    // down where the tray shows it.
    QElapsedTimer asked;
    asked.start();
    action(u"screen"_s);
    EXPECT_TRUE(QTest::qWaitFor([&] { return toolTip().contains(u"capturing in "_s); }, 2000))
        << toolTip();
    EXPECT_EQ(notification(1).summary, u"Uploaded, link copied"_s);
    EXPECT_GE(asked.elapsed(), 2500) << "it waited";
    const QString shot = server.requestsTo("/api/upload").back().partName();
    EXPECT_TRUE(
        matches(u"^Screenshot_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.(png|jpg)$"_s, shot))
        << shot;
    EXPECT_EQ(readClipboard(), u"http://m.example/u/id1"_s);
    EXPECT_TRUE(QDir(paths::privateTempDir()).isEmpty())
        << "the screenshot is gone after its upload";

    // Text from a dragged region, onto the clipboard; the capture is removed.
    action(u"ocr"_s);
    ASSERT_TRUE(waitForCaptureOverlay());
    drag(QPoint(100, 160), QPoint(600, 280));
    const ReceivedNotification text = notification(2);
    EXPECT_EQ(text.summary, u"Text copied"_s);
    EXPECT_EQ(text.body, u"Copied from the screen\nsecond line 42"_s);
    EXPECT_EQ(readClipboard(), u"Copied from the screen\nsecond line 42"_s);
    EXPECT_TRUE(tempDirEmpties());
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 1) << "text is not uploaded";

    // A dragged region, uploaded with its link on the clipboard.
    action(u"region"_s);
    ASSERT_TRUE(waitForCaptureOverlay());
    drag(QPoint(50, 60), QPoint(450, 310));
    EXPECT_EQ(notification(3).summary, u"Uploaded, link copied"_s);
    const RecordedRequest region = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(region.partName().endsWith(u".png"_s));
    EXPECT_EQ(uploadedPicture(region).size(), QSize(400, 250));
    EXPECT_EQ(readClipboard(), u"http://m.example/u/id2"_s);

    // Files handed over together: sent in order, one notification for what went up (its first
    // link opened) and one for what failed.
    failing = {u"b.png"_s};
    QStringList files = {appBinary};
    for (const QString& name : {u"a.png"_s, u"b.png"_s, u"c.png"_s})
        files.append(writeTestFile(name));
    run(files, 10000);
    EXPECT_EQ(notification(4).summary, u"Uploaded 2 files, links copied"_s);
    EXPECT_EQ(notification(4).body, u"http://m.example/u/id3\nhttp://m.example/u/id5"_s);
    EXPECT_EQ(notification(5).summary, u"Upload failed"_s);
    EXPECT_TRUE(notification(5).body.startsWith(u"b.png: "_s)) << notification(5).body;
    EXPECT_EQ(readClipboard(), notification(4).body);
    const auto sent = server.requestsTo("/api/upload");
    EXPECT_EQ(sent[3].partName() + sent[4].partName(), u"b.pngc.png"_s) << "sent in order";
    EXPECT_TRUE(readTestFile(openLog).endsWith("/id2\nhttp://m.example/u/id3\n"))
        << "only the first link of the batch opens";

    // A region as a picture, never uploaded, into a file named in a dialog that starts in the
    // pictures folder (Copy Region to Clipboard: on sway, and the editor's Ctrl+C below).
    const qsizetype uploads = server.requestsTo("/api/upload").size();
    const auto rgb = [](const QImage& image) {
        return image.convertToFormat(QImage::Format_RGB32);
    };
    ASSERT_TRUE(menu().click({u"Save Region\u2026"_s}));
    ASSERT_TRUE(waitForCaptureOverlay());
    drag(QPoint(50, 60), QPoint(450, 310));
    ASSERT_TRUE(waitForWindows(u"^Save Region$"_s, true));
    xdotool({u"windowfocus"_s, windowsNamed(u"^Save Region$"_s).front(), u"key"_s, u"ctrl+a"_s,
             u"type"_s, u"kept"_s});
    xdotool({u"key"_s, u"Return"_s});
    const QString saved =
        QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) + u"/kept.png"_s;
    EXPECT_EQ(notification(6).summary, u"Picture saved"_s);
    EXPECT_EQ(notification(6).body, saved);
    EXPECT_EQ(rgb(QImage(saved)), rgb(screen.copy(50, 60, 400, 250)));
    EXPECT_EQ(server.requestsTo("/api/upload").size(), uploads);
    EXPECT_TRUE(tempDirEmpties());

    // Marked up on the frozen screen: a box drawn in the chosen area goes up with it, at the
    // screen's pixels, without the toolbar.
    const QString editor = u"^Shotlark editor$"_s;
    // The editor, on the area from 100,100 to 500,400.
    const auto openEditor = [&] {
        action(u"annotate"_s);
        if (!waitForCaptureOverlay())
            return false;
        drag(QPoint(100, 100), QPoint(500, 400));
        return waitForWindows(editor, true);
    };
    ASSERT_TRUE(openEditor());
    xdotool({u"key"_s, u"r"_s, u"key"_s, u"5"_s}); // a blue box
    drag(QPoint(150, 150), QPoint(300, 250));
    xdotool({u"key"_s, u"t"_s, u"mousemove"_s, u"350"_s, u"330"_s, u"click"_s, u"1"_s});
    xdotool({u"type"_s, u"Hi"_s});
    xdotool({u"key"_s, u"Return"_s}); // the text ends
    // Two steps, made larger with the wheel.
    xdotool({u"key"_s, u"n"_s, u"mousemove"_s, u"160"_s, u"340"_s, u"click"_s, u"--repeat"_s,
             u"6"_s, u"4"_s, u"click"_s, u"1"_s, u"mousemove"_s, u"240"_s, u"340"_s, u"click"_s,
             u"1"_s});
    xdotool({u"key"_s, u"Return"_s});
    EXPECT_EQ(notification(7).summary, u"Uploaded, link copied"_s);
    const QImage marked = rgb(uploadedPicture(server.requestsTo("/api/upload").back()));
    ASSERT_EQ(marked.size(), QSize(400, 300));
    const QColor ink(0xe5, 0x39, 0x35), blue(0x1e, 0x88, 0xe5);
    EXPECT_EQ(marked.pixelColor(50, 100), blue) << "the box's left edge";
    EXPECT_EQ(marked.pixelColor(200, 60), blue) << "its right edge";
    EXPECT_EQ(marked.pixelColor(125, 100), screen.pixelColor(225, 200)) << "nothing inside";
    EXPECT_EQ(marked.pixelColor(10, 290), screen.pixelColor(110, 390));
    int inked = 0;
    for (int y = 230; y < 260; ++y) {
        for (int x = 250; x < 300; ++x)
            inked += marked.pixelColor(x, y) == ink;
    }
    EXPECT_GT(inked, 40) << "the typed text, in the text tool's own colour";
    // The second step's number, as a reader (OCR) sees it.
    const QString step = testHome() + u"/step.png"_s;
    // Inside the circle only, white on red turned into black on white with a margin.
    QImage digit(76, 76, QImage::Format_RGB32);
    digit.fill(Qt::white);
    for (int y = 0; y < 36; ++y) {
        for (int x = 0; x < 36; ++x) {
            const QColor c = marked.pixelColor(122 + x, 222 + y);
            if (std::min({c.red(), c.green(), c.blue()}) > 200)
                digit.setPixelColor(20 + x, 20 + y, Qt::black);
        }
    }
    digit.scaled(228, 228).save(step);
    EXPECT_EQ(run({u"tesseract"_s, step, u"-"_s, u"--psm"_s, u"10"_s, u"-c"_s,
                   u"tessedit_char_whitelist=0123456789"_s})
                  .out.trimmed(),
              u"2"_s);
    EXPECT_TRUE(
        readTestFile(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                     u"/Shotlark/markup.json"_s)
            .contains("\"tool\": \"counter\""))
        << "the tool last used is the next run's first";
    // Escape with marks asks first (Escape again keeps editing); Ctrl+C copies, uploads nothing.
    ASSERT_TRUE(openEditor());
    xdotool({u"key"_s, u"r"_s});
    drag(QPoint(150, 150), QPoint(300, 250));
    drag(QPoint(350, 300), QPoint(450, 350));
    xdotool({u"key"_s, u"ctrl+z"_s}); // the second box goes again
    xdotool({u"key"_s, u"Escape"_s});
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000));
    pressIn(shotlarkWindows().front(), u"Escape"_s);
    ASSERT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().isEmpty(); }, 10000));
    ASSERT_FALSE(windowsNamed(editor).isEmpty());
    // Selected, the box moves by 20 × 10; the area's left edge, dragged, takes in 40 more pixels
    // while the box stays where it is on the screen.
    xdotool({u"windowfocus"_s, windowsNamed(editor).front(), u"key"_s, u"v"_s});
    drag(QPoint(150, 200), QPoint(170, 210));
    drag(QPoint(100, 300), QPoint(60, 300));
    xdotool({u"key"_s, u"ctrl+c"_s});
    EXPECT_EQ(notification(8).summary, u"Picture copied"_s);
    EXPECT_EQ(notification(8).body, u"440 \u00d7 300 pixels, ready to paste."_s);
    const QImage copiedMarks = rgb(QImage::fromData(readClipboardBytes(u"image/png"_s), "PNG"));
    ASSERT_EQ(copiedMarks.size(), QSize(440, 300));
    EXPECT_EQ(copiedMarks.pixelColor(110, 110), blue) << "the moved box's left edge, in the "
                                                         "colour the box tool kept";
    EXPECT_EQ(copiedMarks.pixelColor(290, 220), screen.pixelColor(350, 320)) << "undone";
    EXPECT_EQ(copiedMarks.pixelColor(90, 110), screen.pixelColor(150, 210)) << "not where it was";
    EXPECT_EQ(copiedMarks.pixelColor(20, 20), screen.pixelColor(80, 120)) << "the area grew";

    // Without marks Escape just ends; Ctrl+S saves into the pictures under the capture's name.
    ASSERT_TRUE(openEditor());
    xdotool({u"key"_s, u"Escape"_s});
    ASSERT_TRUE(waitForWindows(editor, false));
    EXPECT_TRUE(shotlarkWindows().isEmpty()) << "nothing asked";
    ASSERT_TRUE(openEditor());
    xdotool({u"key"_s, u"ctrl+s"_s});
    EXPECT_EQ(notification(9).summary, u"Picture saved"_s);
    EXPECT_TRUE(matches(u"/Screenshot_[-_\\d]+\\.png$"_s, notification(9).body))
        << notification(9).body;
    EXPECT_EQ(QImage(notification(9).body).size(), QSize(400, 300));
    EXPECT_EQ(server.requestsTo("/api/upload").size(), uploads + 1);

    // Text recognition and sounds (with no sound card here) leave the terminal alone.
    quit();
    EXPECT_FALSE(log().contains(u"LEAK!"_s)) << log();
    EXPECT_FALSE(log().contains(u"ALSA lib"_s)) << log();

    // With "Annotate screenshots before uploading", a window capture opens the editor too.
    Config::shared().setBool(keys::annotateBeforeUpload, true);
    Config::shared().setInteger(keys::captureDelay, 0);
    startApp();
    action(u"window"_s);
    ASSERT_TRUE(waitForCaptureOverlay());
    xdotool({u"mousemove"_s, u"640"_s, u"400"_s, u"click"_s, u"1"_s}); // the backdrop
    ASSERT_TRUE(waitForWindows(editor, true));
    xdotool({u"key"_s, u"Return"_s});
    EXPECT_EQ(notification(10).summary, u"Uploaded, link copied"_s);
    EXPECT_EQ(uploadedPicture(server.requestsTo("/api/upload").back()).size(), QSize(1280, 800));
}

namespace {

class ConnectionDesktopTest : public AppDesktopTest {
protected:
    // Hands a configuration link to the running app and waits for its confirmation.
    QString handLink(const QString& server, int windowsBefore = 0) {
        // As the run script hands it over: the token stays out of the process list.
        const QByteArray link =
            "shotlark://configure?server=" + QUrl::toPercentEncoding(server) + "&token=slk_tls\n";
        EXPECT_EQ(run({appBinary, u"--stdin"_s}, 10000, {}, link).exitCode, 0);
        if (!QTest::qWaitFor([&] { return shotlarkWindows().size() > windowsBefore; }, 10000))
            return QString();
        return shotlarkWindows().constLast();
    }

    // Confirms a link to `server` and returns the "Couldn't connect" text it ends with.
    QString failedConnection(const QString& server) {
        const QString confirmation = handLink(server);
        EXPECT_FALSE(confirmation.isEmpty()) << "no confirmation for " << server;
        pressIn(confirmation, u"Return"_s);
        const QString prefix = u"shotlark: Couldn't connect: "_s;
        EXPECT_TRUE(QTest::qWaitFor([&] { return log().count(prefix) > reported; }, 20000))
            << server;
        reported = log().count(prefix);
        EXPECT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().size() == 1; }, 10000))
            << "the alert is on screen";
        const QString message = log().section(prefix, -1).section(u'\n', 0, 0);
        if (const QStringList windows = shotlarkWindows(); !windows.isEmpty())
            pressIn(windows.front(), u"Return"_s);
        EXPECT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().isEmpty(); }, 10000));
        EXPECT_TRUE(app->running()) << "after " << server;
        return message;
    }

    qsizetype reported = 0;
};

} // namespace

TEST_F(ConnectionDesktopTest, HttpsServersConnectOrFailWithTheirReason) {
    const TlsIdentity trusted = TlsIdentity::make(testHome(), u"trusted"_s);
    const TlsIdentity stranger = TlsIdentity::make(testHome(), u"stranger"_s);
    ASSERT_FALSE(trusted.certificateFile.isEmpty());
    ASSERT_FALSE(stranger.certificateFile.isEmpty());
    startApp(trusted);

    // Nothing listening on the https port.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    EXPECT_EQ(failedConnection(u"https://127.0.0.1:%1"_s.arg(closedPort)), u"Connection refused"_s);

    // A listener that takes the connection and closes it without a word.
    QTcpServer mute;
    ASSERT_TRUE(mute.listen(QHostAddress::LocalHost, 0));
    QObject::connect(&mute, &QTcpServer::pendingConnectionAvailable, [&mute] {
        while (QTcpSocket* socket = mute.nextPendingConnection())
            socket->abort();
    });
    EXPECT_FALSE(failedConnection(u"127.0.0.1:%1"_s.arg(mute.serverPort())).isEmpty());

    // A certificate nobody vouches for: the TLS error is the message.
    TestHttpServer untrusted(stranger);
    untrusted.setDefault({200, R"({"username":"stranger"})"});
    EXPECT_TRUE(failedConnection(untrusted.url()).contains(u"certificate"_s));
    EXPECT_TRUE(untrusted.requests().isEmpty());
    EXPECT_EQ(Config().token(), u"slk_desktop"_s) << "failed checks keep the old connection";

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
    const QString second = handLink(secure.url(), 1);
    ASSERT_FALSE(first.isEmpty());
    ASSERT_FALSE(second.isEmpty());
    ASSERT_NE(first, second);
    pressIn(second, u"Escape"_s);
    ASSERT_TRUE(QTest::qWaitFor([] { return shotlarkWindows().size() == 1; }, 10000));
    pressIn(first, u"Return"_s);
    const ReceivedNotification connected = notification(1);
    EXPECT_EQ(connected.summary, u"Connected"_s);
    EXPECT_EQ(connected.body, u"Signed in as tls-user. Press Ctrl+Shift+7 to capture."_s);
    QTest::qWait(500);
    EXPECT_EQ(notifications.received.size(), 1) << "one link connected, once";
    EXPECT_TRUE(app->running());
    Config reread;
    EXPECT_EQ(reread.server(), secure.url());
    EXPECT_EQ(reread.username(), u"tls-user"_s);
    EXPECT_EQ(reread.token(), u"slk_tls"_s);
    // The check and the refresh after it; the cancelled link sent nothing.
    EXPECT_EQ(secure.requestsTo("/api/me").size(), 2);

    // What this server switched off says so.
    action(u"gif"_s);
    EXPECT_EQ(notification(2).summary, u"Turned off"_s);
    EXPECT_EQ(notification(2).body,
              u"Record GIF (press again to stop) is switched off on this server."_s);
}

TEST_F(AppDesktopTest, RecordingsFromHotkeyActionsToUploads) {
    startApp();
    showBackdrop();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !server.requestsTo("/api/features").isEmpty(); }, 10000));
    QTest::qWait(300);
    const QString area = u"^Shotlark area$"_s, frame = u"^Shotlark recording frame$"_s;

    // The record action again while the area is chosen takes the chooser away, as Escape does.
    action(u"record"_s);
    ASSERT_TRUE(waitForWindows(area, true));
    action(u"record"_s);
    ASSERT_TRUE(waitForWindows(area, false));
    EXPECT_TRUE(menu().open().labels().contains(u"Record Screen"_s));

    // A plain recording of a dragged area.
    action(u"record"_s);
    ASSERT_TRUE(waitForWindows(area, true));
    drag(QPoint(100, 100), QPoint(500, 400));
    ASSERT_TRUE(waitForWindows(frame, true)) << "the frame around the area";
    QTest::qWait(1500);
    const QStringList labels = menu().open().labels();
    EXPECT_EQ(labels.filter(QRegularExpression(u"^Stop Recording \\(0:0\\d\\)"_s)).size(), 1)
        << labels.join(u'|');
    // The time counts on in the open menu and in the tooltip.
    EXPECT_TRUE(QTest::qWaitFor([&] { return menu().layout().labels() != labels; }, 3000));
    EXPECT_TRUE(toolTip().contains(u"Shotlark: recording, 0:0"_s)) << toolTip();

    // The GIF action stops it, and it is uploaded as it is, without conversion.
    action(u"gif"_s);
    EXPECT_EQ(notification(1).summary, u"Uploaded, link copied"_s);
    const RecordedRequest movie = server.requestsTo("/api/upload").back();
    EXPECT_TRUE(
        matches(u"^Recording_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.mp4$"_s, movie.partName()))
        << movie.partName();
    EXPECT_TRUE(movie.header("X-Convert").isNull());
    EXPECT_TRUE(movie.body.contains("Content-Type: video/mp4"));
    EXPECT_TRUE(windowsNamed(frame).isEmpty());
    EXPECT_TRUE(tempDirEmpties());

    // A GIF recording of a whole screen (a click), stopped by the record action.
    action(u"gif"_s);
    ASSERT_TRUE(waitForWindows(area, true));
    xdotool({u"mousemove"_s, u"640"_s, u"400"_s, u"click"_s, u"1"_s});
    QTest::qWait(1500);
    EXPECT_TRUE(windowsNamed(frame).isEmpty()) << "no frame around a whole screen";
    action(u"record"_s);
    notification(2);
    EXPECT_EQ(server.requestsTo("/api/upload").back().header("X-Convert"), "gif");

    // Escape leaves everything as it was.
    action(u"record"_s);
    ASSERT_TRUE(waitForWindows(area, true));
    xdotool({u"key"_s, u"Escape"_s});
    ASSERT_TRUE(waitForWindows(area, false));
    EXPECT_TRUE(menu().open().labels().contains(u"Record Screen"_s));
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 2);

    // A recording whose screen goes away ends with an alert, and nothing is uploaded.
    ASSERT_TRUE(splitScreen(QSize(1280, 800)));
    QTest::qWait(500);
    action(u"record"_s);
    ASSERT_TRUE(waitForWindows(area, true));
    drag(QPoint(800, 200), QPoint(1000, 400));
    QTest::qWait(1000);
    ASSERT_TRUE(unplugRightMonitor());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return log().contains(u"shotlark: Recording stopped: "_s); }, 10000))
        << log();
    EXPECT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 5000))
        << "the alert is on screen";
    QTest::qWait(500);
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 2);
    QDirIterator movies(paths::privateTempDir(), {u"*.mp4"_s}, QDir::Files,
                        QDirIterator::Subdirectories);
    EXPECT_FALSE(movies.hasNext()) << "nothing half-written is left";
    EXPECT_TRUE(app->running());
}

TEST_F(AppDesktopTest, GifAndReplayComeBackFromTheReferenceServer) {
    ReferenceServer reference = ReferenceServer::start(testHome() + u"/server-data"_s);
    ASSERT_TRUE(reference.process);
    reference.connect();
    Config::shared().setBool(keys::copyDirectLink, true);
    showBackdrop();
    startApp();
    QTest::qWait(500);

    // A GIF recording: the link serves a GIF of the area, 640 pixels wide, several frames.
    action(u"gif"_s);
    ASSERT_TRUE(waitForWindows(u"^Shotlark area$"_s, true));
    drag(QPoint(100, 100), QPoint(740, 500));
    QTest::qWait(2500);
    action(u"gif"_s);
    const ReceivedNotification gif = notification(1);
    ASSERT_EQ(gif.summary, u"Uploaded, link copied"_s) << gif.body;
    EXPECT_TRUE(matches(u"/r/\\w+/Recording_[-_\\d]+\\.gif$"_s, gif.body)) << gif.body;
    EXPECT_EQ(readClipboard(), gif.body);
    const Probed probed = probe(gif.body);
    EXPECT_EQ(probed.codec, u"gif"_s);
    EXPECT_EQ(probed.width, 640);
    EXPECT_GE(probed.frames, 15);
    EXPECT_TRUE(tempDirEmpties()) << "the movie went with the upload";

    // Saving the replay while the buffer is off says so.
    action(u"replay"_s);
    EXPECT_EQ(notification(2).summary, u"Replay buffer is off"_s);

    ASSERT_TRUE(menu().click({u"Start Replay Buffer"_s}));
    QTest::qWait(3000);
    // It records the screen: the menu and the tooltip say so.
    EXPECT_TRUE(menu().open().labels().contains(u"\u25cf Replay buffer on"_s));
    EXPECT_TRUE(toolTip().contains(u"Replay buffer on"_s)) << toolTip();
    action(u"replay"_s);
    const ReceivedNotification saved = notification(3);
    ASSERT_EQ(saved.summary, u"Replay saved, link copied"_s) << saved.body;
    EXPECT_TRUE(saved.body.startsWith(reference.url + u"/r/"_s));
    EXPECT_EQ(readClipboard(), saved.body);
    EXPECT_EQ(History::entries(Config()).size(), 2);
    // The joined clip on the server: about the three seconds the buffer ran.
    const double duration = probe(saved.body).duration;
    EXPECT_GT(duration, 2.0);
    EXPECT_LT(duration, 6.0);
    // The copies went with the upload; the buffer's own directory stays while it runs.
    EXPECT_TRUE(QDir(paths::privateTempDir()).entryList({u"Replay_*"_s}, QDir::Files).isEmpty());

    // Open Dashboard opens it signed in: a one-time link, good for one visit.
    ASSERT_TRUE(menu().click({u"Open Dashboard"_s}));
    ASSERT_TRUE(openedLinkLogged());
    const QString once = QString::fromUtf8(readTestFile(openLog)).trimmed();
    EXPECT_TRUE(once.startsWith(reference.url + u"/dashboard/once?code="_s)) << once;
    const QString visit = run({u"curl"_s, u"-s"_s, u"-i"_s, once}, 10000).out;
    EXPECT_TRUE(visit.startsWith(u"HTTP/1.1 303"_s)) << visit;
    EXPECT_TRUE(visit.contains(u"Set-Cookie: slk_session="_s, Qt::CaseInsensitive)) << visit;
    EXPECT_TRUE(run({u"curl"_s, u"-s"_s, u"-i"_s, once}, 10000).out.startsWith(u"HTTP/1.1 403"_s));

    // A server that has gone away: the copies are kept with the failed uploads, not deleted.
    reference.process.reset();
    QTest::qWait(1500);
    action(u"replay"_s);
    const ReceivedNotification failed = notification(4);
    EXPECT_EQ(failed.summary, u"Replay upload failed"_s);
    EXPECT_TRUE(failed.actions.contains(u"default"_s)) << "it links the kept copy";
    EXPECT_FALSE(QDir(paths::dataDir() + u"/Failed uploads"_s)
                     .entryList({u"Replay_*.mp4"_s}, QDir::Files)
                     .isEmpty());

    // The toggle stops it and removes its segments.
    ASSERT_TRUE(menu().click({u"Stop Replay Buffer"_s}));
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return QDir(paths::privateTempDir())
                .entryList({u"slk-replay-*"_s}, QDir::Dirs)
                .isEmpty();
        },
        5000));
    EXPECT_FALSE(Config().boolValue(keys::replayEnabled));
    EXPECT_FALSE(toolTip().contains(u"Replay"_s)) << toolTip();
    EXPECT_TRUE(app->running());
}

TEST_F(AppDesktopTest, RunScriptConnectsToItsServerWithoutATokenInAnyCommandLine) {
    // The first start of a new user: the script makes a local user and hands its link over.
    quint16 port = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    // Nothing configured yet.
    QFile::remove(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                  u"/Shotlark/settings.json"_s);
    QFile::remove(paths::dataDir() + u"/token"_s);
    ::setenv("SHOTLARK_SERVER_PORT", QByteArray::number(port).constData(), 1);
    ::setenv("SHOTLARK_BUILD_DIR", SHOTLARK_BUILD_DIR, 1);
    ::unsetenv("OMP_THREAD_LIMIT"); // as a user starts it: the app starts itself again once
    const QString script = QFileInfo(QStringLiteral(SHOTLARK_MAKE_BUNDLE)).path() + u"/run.sh"_s;
    app = ChildProcess::start({u"bash"_s, script});
    ASSERT_TRUE(app);
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 60000))
        << "the confirmation";
    const QByteArray token =
        readTestFile(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                     u"/shotlark-server/local-user-token"_s)
            .trimmed();
    ASSERT_FALSE(token.isEmpty());
    for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        QFile cmdline(u"/proc/"_s + pid + u"/cmdline"_s);
        if (cmdline.open(QIODevice::ReadOnly)) {
            EXPECT_FALSE(cmdline.readAll().contains(token)) << "process " << pid;
        }
    }
    pressIn(shotlarkWindows().constLast(), u"Return"_s);
    EXPECT_EQ(notification(1).summary, u"Connected"_s);
    EXPECT_EQ(Config().server(), u"http://127.0.0.1:%1"_s.arg(port));
    quit(); // the script ends with the app, and stops its server
}

namespace {

class NoTrayDesktopTest : public AppDesktopTest {
protected:
    NoTrayDesktopTest() { withTray = false; }
};

} // namespace

TEST_F(NoTrayDesktopTest, WithoutATrayTheMenuIsAWindowOpenedByEachStart) {
    // The first start shows the menu with how to get a tray icon.
    startApp();
    ASSERT_TRUE(waitForWindows(u"^Shotlark$"_s, true)) << log();
    EXPECT_TRUE(Config().boolValue(keys::trayHintShown)) << "said once, not again";
    xdotool({u"windowfocus"_s, shotlarkWindows().constFirst(), u"key"_s, u"Escape"_s});
    ASSERT_TRUE(waitForWindows(u"^Shotlark$"_s, false));

    // Started again (from the app list): the same window.
    EXPECT_EQ(run({appBinary}, 10000).exitCode, 0);
    ASSERT_TRUE(waitForWindows(u"^Shotlark$"_s, true));
    EXPECT_TRUE(app->running());
}

// Upload servers people already run, imported from their custom-uploader files (stand-ins on
// loopback answering in the shapes of three self-hosted servers), beside the Shotlark server.
TEST_F(AppDesktopTest, UploadsToImportedUploadServers) {
    TestHttpServer others;
    others.setHandler([&](const RecordedRequest& request) -> CannedResponse {
        const QString base = others.url();
        if (request.path() == "/zipline/api/upload") // a bearer-less token header, links in a list
            return request.header("authorization") == "zl-token"
                       ? CannedResponse{200,
                                        (uR"({"files":[")"_s + base + uR"(/zipline/u/abc.png"]})"_s)
                                            .toUtf8()}
                       : CannedResponse{401, R"({"error":"unauthorized"})"};
        if (request.path() == "/xbb/upload") // its token is a form field
            return request.body.contains("name=\"token\"\r\n\r\nxbb-token")
                       ? CannedResponse{200, (uR"({"message":"OK","url":")"_s + base +
                                              uR"(/xbb/Kx9"})"_s)
                                                 .toUtf8()}
                       : CannedResponse{401, R"({"message":"Token not found"})"};
        if (request.path() == "/chibi/api/upload")
            return {200,
                    (uR"({"name":"a.png","uuid":"1f","url":")"_s + base + uR"(/chibi/a.png"})"_s)
                        .toUtf8()};
        return {500, R"({"error":{"message":"Disk full"}})"};
    });
    const auto uploaderFile = [&](const QString& name, const QString& fields) {
        return writeTestFile(name + u".sxcu"_s,
                             (u"{\"RequestURL\": \""_s + others.url() + fields).toUtf8());
    };
    startApp();
    qsizetype seen = 0;
    const auto next = [&] {
        return notification(++seen);
    };
    // Opening a file asks first, saying where things will go; "Add and Use".
    const auto import = [&](const QString& file) {
        EXPECT_EQ(run({appBinary, file}, 10000).exitCode, 0);
        EXPECT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000)) << log();
        if (!shotlarkWindows().isEmpty())
            pressIn(shotlarkWindows().front(), u"Return"_s);
        EXPECT_TRUE(next().summary.startsWith(u"Uploads go to "_s));
    };
    const QString picture = writeTestFile(u"shot.png"_s, "PNG!");
    const auto uploaded = [&] {
        EXPECT_EQ(run({appBinary, picture}, 10000).exitCode, 0);
        const ReceivedNotification said = next();
        EXPECT_EQ(said.summary, u"Uploaded, link copied"_s) << said.body;
        EXPECT_EQ(readClipboard(), said.body);
        return said.body;
    };

    import(uploaderFile(u"zipline"_s, uR"(/zipline/api/upload", "Name": "Zipline at home",
        "DestinationType": "ImageUploader, FileUploader", "Body": "MultipartFormData",
        "FileFormName": "file", "Headers": {"authorization": "zl-token"},
        "URL": "{json:files[0]}"})"_s));
    EXPECT_EQ(uploaded(), others.url(u"/zipline/u/abc.png"_s));
    EXPECT_EQ(others.requests().back().partName(), u"shot.png"_s);
    const DBusMenuNode opened = menu().open();
    const DBusMenuNode recent = opened.children.value(opened.labels().indexOf(u"Recent Uploads"_s));
    EXPECT_EQ(recent.children.value(0).labels(),
              (QStringList{u"Copy Link"_s, u"Open in Browser"_s}))
        << "no deletion link, no Delete from Server";
    // An older file, its link in the $…$ form.
    import(uploaderFile(u"xbackbone"_s, uR"(/xbb/upload", "RequestType": "POST",
        "FileFormName": "upload", "Arguments": {"token": "xbb-token"}, "URL": "$json:url$"})"_s));
    EXPECT_EQ(uploaded(), others.url(u"/xbb/Kx9"_s));
    import(uploaderFile(u"chibisafe"_s, uR"(/chibi/api/upload", "Body": "MultipartFormData",
        "FileFormName": "file[]", "Headers": {"x-api-key": "ch-key"}, "URL": "{json:url}"})"_s));
    EXPECT_EQ(uploaded(), others.url(u"/chibi/a.png"_s));
    // A GIF recording converted here as the Shotlark server would, and a replay joined here
    // (no encoding), for a server that takes files only.
    showBackdrop();
    action(u"gif"_s);
    ASSERT_TRUE(waitForWindows(u"^Shotlark area$"_s, true));
    xdotool({u"mousemove"_s, u"640"_s, u"400"_s, u"click"_s, u"1"_s});
    QTest::qWait(2000);
    action(u"record"_s);
    EXPECT_EQ(next().summary, u"Uploaded, link copied"_s);
    EXPECT_TRUE(others.requests().back().partName().endsWith(u".gif"_s));
    const Probed gif =
        probe(writeTestFile(u"sent.gif"_s, uploadedFile(others.requests().back(), "image/gif")));
    EXPECT_EQ(gif.codec, u"gif"_s);
    EXPECT_EQ(gif.width, 960) << "the server's width limit";
    ASSERT_TRUE(menu().click({u"Start Replay Buffer"_s}));
    QTest::qWait(7000);
    action(u"replay"_s);
    EXPECT_EQ(next().summary, u"Replay saved, link copied"_s) << log();
    const Probed replay =
        probe(writeTestFile(u"sent.mp4"_s, uploadedFile(others.requests().back(), "video/mp4")));
    EXPECT_EQ(replay.codec, u"h264"_s);
    // One movie of the 7 s the buffer ran (its start and save take a moment each).
    EXPECT_GT(replay.duration, 4.5);
    EXPECT_LT(replay.duration, 9.5);
    ASSERT_TRUE(menu().click({u"Stop Replay Buffer"_s}));
    EXPECT_TRUE(server.requestsTo("/api/upload").isEmpty())
        << "nothing went to the Shotlark server";
    EXPECT_EQ(History::entries(Config()).front().url, others.url(u"/chibi/a.png"_s));

    // The menu says where uploads go, and switches back.
    const auto uploadTo = [&] {
        const DBusMenuNode opened = menu().open();
        return opened.children.value(opened.labels().indexOf(u"Upload To"_s));
    };
    const DBusMenuNode to = uploadTo();
    ASSERT_EQ(to.children.size(), 4);
    EXPECT_EQ(to.children[3].label(), u"\u2713 127.0.0.1"_s);
    ASSERT_TRUE(menu().click({u"Upload To"_s, to.children[0].label()}));
    uploaded();
    EXPECT_EQ(server.requestsTo("/api/upload").size(), 1);

    // A server's own error message; a file that can't be used says why and adds nothing.
    import(uploaderFile(u"broken"_s, uR"(/broken", "FileFormName": "f",
        "ErrorMessage": "{json:error.message}"})"_s));
    EXPECT_EQ(run({appBinary, picture}, 10000).exitCode, 0);
    const ReceivedNotification failed = next();
    EXPECT_EQ(failed.summary, u"Upload failed"_s);
    EXPECT_TRUE(failed.body.endsWith(u"Server answered HTTP 500: Disk full"_s)) << failed.body;
    EXPECT_EQ(run({appBinary, uploaderFile(u"prompting"_s, uR"(/x", "Body": "None",
        "URL": "{prompt:Link?}"})"_s)},
                  10000)
                  .exitCode,
              0);
    ASSERT_TRUE(QTest::qWaitFor([] { return !shotlarkWindows().isEmpty(); }, 10000));
    EXPECT_TRUE(log().contains(u"URL: {prompt} is not something Shotlark can fill in"_s)) << log();
    pressIn(shotlarkWindows().front(), u"Return"_s);
    EXPECT_EQ(uploadTo().children.size(), 5)
        << "the broken server stays, the prompting one never came";

    // The reference server's own file, as its Setup page hands it to a signed-in user.
    const ReferenceServer reference = ReferenceServer::start(testHome() + u"/reference"_s);
    ASSERT_TRUE(reference.process);
    const QString cookie =
        run({u"curl"_s, u"-si"_s, u"-H"_s, u"Origin: "_s + reference.url, u"-d"_s,
             u"token="_s + reference.token, reference.url + u"/dashboard/login"_s})
            .out.section(u"Set-Cookie: "_s, 1)
            .section(u';', 0, 0);
    const QString setup = run({u"curl"_s, u"-s"_s, u"-H"_s, u"Cookie: "_s + cookie,
                               reference.url + u"/dashboard/setup/"_s})
                              .out;
    const QString csrf = setup.section(u"name=\"csrf\" value=\""_s, 1).section(u'"', 0, 0);
    const QString exported = testHome() + u"/reference.sxcu"_s;
    ASSERT_EQ(run({u"curl"_s, u"-sf"_s, u"-H"_s, u"Cookie: "_s + cookie, u"-d"_s, u"csrf="_s + csrf,
                   u"-o"_s, exported, reference.url + u"/dashboard/setup/shotlark.sxcu"_s})
                  .exitCode,
              0);
    import(exported);
    const QString link = uploaded();
    EXPECT_TRUE(link.startsWith(reference.url + u"/u/"_s)) << link;
    EXPECT_EQ(run({u"curl"_s, u"-sf"_s, link}).exitCode, 0);
    EXPECT_FALSE(QFile::permissions(paths::dataDir() + u"/uploaders.json"_s) &
                 (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther))
        << "its token is stored for the user alone";
}
