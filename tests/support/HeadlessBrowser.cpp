#include "HeadlessBrowser.h"

#include "Isolation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace shotlark::test {

namespace {
// A pipe whose ends are numbered high, out of the way of the child's 3 and 4.
bool highPipe(int ends[2]) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        ends[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, 100);
        ::close(raw[i]);
    }
    return ends[0] >= 0 && ends[1] >= 0;
}
} // namespace

std::unique_ptr<HeadlessBrowser> HeadlessBrowser::start(QString* error) {
    const QString binary = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (binary.isEmpty()) {
        *error = QStringLiteral("chromium is not installed");
        return nullptr;
    }
    std::unique_ptr<HeadlessBrowser> browser(new HeadlessBrowser);
    browser->profile_ = testHome() + QStringLiteral("/chromium-profile");
    QDir().mkpath(browser->profile_);
    int commands[2], answers[2];
    if (!highPipe(commands) || !highPipe(answers)) {
        *error = QStringLiteral("no pipe");
        return nullptr;
    }
    // Its complaints about the missing system bus and GPU go to a log of their own.
    const int log = ::open(QFile::encodeName(browser->profile_ + QStringLiteral("/stderr.log")),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int highLog = ::fcntl(log, F_DUPFD_CLOEXEC, 100);
    ::close(log);
    // The protocol reads commands from descriptor 3 and writes answers to 4.
    browser->process_ = ChildProcess::startMapped(
        {binary, QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox"),
         QStringLiteral("--disable-gpu"), QStringLiteral("--disable-dev-shm-usage"),
         QStringLiteral("--no-first-run"), QStringLiteral("--no-default-browser-check"),
         QStringLiteral("--disable-extensions"), QStringLiteral("--hide-scrollbars"),
         QStringLiteral("--force-device-scale-factor=1"), QStringLiteral("--window-size=1280,900"),
         QStringLiteral("--user-data-dir=") + browser->profile_,
         QStringLiteral("--remote-debugging-pipe"), QStringLiteral("about:blank")},
        {{commands[0], 3}, {answers[1], 4}, {highLog, 2}});
    ::close(highLog);
    ::close(commands[0]);
    ::close(answers[1]);
    browser->toBrowser_ = commands[1];
    browser->fromBrowser_ = answers[0];
    if (!browser->process_) {
        *error = QStringLiteral("chromium did not start");
        return nullptr;
    }
    const QJsonObject target =
        browser->send(QStringLiteral("Target.createTarget"),
                      {{QStringLiteral("url"), QStringLiteral("about:blank")}}, QString(), 60000);
    const QJsonObject attached =
        browser->send(QStringLiteral("Target.attachToTarget"),
                      {{QStringLiteral("targetId"), target.value(QStringLiteral("targetId"))},
                       {QStringLiteral("flatten"), true}},
                      QString(), 30000);
    browser->session_ = attached.value(QStringLiteral("sessionId")).toString();
    if (browser->session_.isEmpty()) {
        *error = QStringLiteral("chromium did not open a page");
        return nullptr;
    }
    return browser;
}

HeadlessBrowser::~HeadlessBrowser() {
    if (toBrowser_ >= 0 && !session_.isEmpty())
        send(QStringLiteral("Browser.close"), {}, QString(), 5000);
    process_.reset();
    ::close(toBrowser_);
    ::close(fromBrowser_);
}

QJsonObject HeadlessBrowser::send(const QString& method, const QJsonObject& params,
                                  const QString& session, int ms) {
    const int id = nextId_++;
    QJsonObject message{{QStringLiteral("id"), id},
                        {QStringLiteral("method"), method},
                        {QStringLiteral("params"), params}};
    if (!session.isEmpty())
        message.insert(QStringLiteral("sessionId"), session);
    QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::write(toBrowser_, bytes.constData() + sent, size_t(bytes.size() - sent));
        if (n <= 0) {
            ADD_FAILURE() << "chromium went away before " << method.toStdString();
            return {{QStringLiteral("error"), QStringLiteral("gone")}};
        }
        sent += n;
    }
    // Answers and events arrive in one stream; events are not needed here.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qsizetype end = pending_.indexOf('\0');
        if (end >= 0) {
            const QJsonObject answer = QJsonDocument::fromJson(pending_.left(end)).object();
            pending_.remove(0, end + 1);
            if (answer.value(QStringLiteral("id")).toInt() != id)
                continue;
            if (answer.contains(QStringLiteral("error"))) {
                ADD_FAILURE() << method.toStdString() << ": "
                              << QJsonDocument(answer.value(QStringLiteral("error")).toObject())
                                     .toJson(QJsonDocument::Compact)
                                     .toStdString();
                return {{QStringLiteral("error"), answer.value(QStringLiteral("error"))}};
            }
            return answer.value(QStringLiteral("result")).toObject();
        }
        pollfd readable{fromBrowser_, POLLIN, 0};
        const int left = ms - int(clock.elapsed());
        char buffer[65536];
        ssize_t n = 0;
        if (left <= 0 || ::poll(&readable, 1, left) <= 0 ||
            (n = ::read(fromBrowser_, buffer, sizeof buffer)) <= 0) {
            ADD_FAILURE() << "no answer from chromium to " << method.toStdString();
            return {{QStringLiteral("error"), QStringLiteral("no answer")}};
        }
        pending_.append(buffer, n);
    }
}

QJsonObject HeadlessBrowser::call(const QString& method, const QJsonObject& params, int ms) {
    return send(method, params, session_, ms);
}

QJsonValue HeadlessBrowser::evaluate(const QString& expression) {
    const QJsonObject result =
        call(QStringLiteral("Runtime.evaluate"), {{QStringLiteral("expression"), expression},
                                                  {QStringLiteral("returnByValue"), true},
                                                  {QStringLiteral("awaitPromise"), true}});
    if (result.contains(QStringLiteral("exceptionDetails")))
        return QJsonValue(QJsonValue::Undefined);
    return result.value(QStringLiteral("result")).toObject().value(QStringLiteral("value"));
}

bool HeadlessBrowser::waitFor(const QString& expression, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (evaluate(QStringLiteral("Boolean(%1)").arg(expression)).toBool())
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool HeadlessBrowser::navigate(const QString& url) {
    evaluate(QStringLiteral("window.__left = true"));
    call(QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}});
    return waitFor(QStringLiteral("!window.__left && document.readyState === 'complete'"), 30000);
}

QPointF HeadlessBrowser::centreOf(const QString& selector) {
    const QJsonObject box =
        evaluate(QStringLiteral("(() => { const e = document.querySelector(%1); if (!e) return "
                                "null; const r = e.getBoundingClientRect(); return {x: r.x + "
                                "r.width / 2, y: r.y + r.height / 2}; })()")
                     .arg(QString::fromUtf8(QJsonDocument(QJsonArray{selector})
                                                .toJson(QJsonDocument::Compact)
                                                .mid(1)
                                                .chopped(1))))
            .toObject();
    if (box.isEmpty())
        return QPointF();
    return QPointF(box.value(QStringLiteral("x")).toDouble(),
                   box.value(QStringLiteral("y")).toDouble());
}

void HeadlessBrowser::mouse(const QString& type, QPointF at, int buttons) {
    call(QStringLiteral("Input.dispatchMouseEvent"),
         {{QStringLiteral("type"), type},
          {QStringLiteral("x"), at.x()},
          {QStringLiteral("y"), at.y()},
          {QStringLiteral("button"), QStringLiteral("left")},
          {QStringLiteral("buttons"), buttons},
          {QStringLiteral("clickCount"), 1}});
}

void HeadlessBrowser::click(QPointF at) {
    mouse(QStringLiteral("mouseMoved"), at, 0);
    mouse(QStringLiteral("mousePressed"), at, 1);
    mouse(QStringLiteral("mouseReleased"), at, 0);
}

void HeadlessBrowser::drag(QPointF from, QPointF to, int steps) {
    mouse(QStringLiteral("mouseMoved"), from, 0);
    mouse(QStringLiteral("mousePressed"), from, 1);
    for (int i = 1; i <= steps; ++i)
        mouse(QStringLiteral("mouseMoved"), from + (to - from) * (double(i) / steps), 1);
    mouse(QStringLiteral("mouseReleased"), to, 0);
}

void HeadlessBrowser::type(const QString& text) {
    call(QStringLiteral("Input.insertText"), {{QStringLiteral("text"), text}});
}

void HeadlessBrowser::press(const QString& key) {
    static const QHash<QString, int> codes = {{QStringLiteral("Enter"), 13},
                                              {QStringLiteral("Escape"), 27}};
    for (const char* type : {"keyDown", "keyUp"})
        call(QStringLiteral("Input.dispatchKeyEvent"),
             {{QStringLiteral("type"), QString::fromLatin1(type)},
              {QStringLiteral("key"), key},
              {QStringLiteral("code"), key},
              {QStringLiteral("windowsVirtualKeyCode"), codes.value(key)}});
}

QByteArray HeadlessBrowser::screenshotPng() {
    const QJsonObject shot = call(QStringLiteral("Page.captureScreenshot"),
                                  {{QStringLiteral("format"), QStringLiteral("png")}});
    return QByteArray::fromBase64(shot.value(QStringLiteral("data")).toString().toLatin1());
}

} // namespace shotlark::test
