#include "HeadlessBrowser.h"
#include "support/Prelude.h"

#include "Isolation.h"

#include <QStandardPaths>

#include <fcntl.h>
#include <poll.h>

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
    const QString binary = QStandardPaths::findExecutable(u"chromium"_s);
    if (binary.isEmpty()) {
        *error = u"chromium is not installed"_s;
        return nullptr;
    }
    std::unique_ptr<HeadlessBrowser> browser(new HeadlessBrowser);
    browser->profile_ = testHome() + u"/chromium-profile"_s;
    QDir().mkpath(browser->profile_);
    int commands[2], answers[2];
    if (!highPipe(commands) || !highPipe(answers)) {
        *error = u"no pipe"_s;
        return nullptr;
    }
    // Its complaints about the missing system bus and GPU go to a log of their own.
    const int log = ::open(QFile::encodeName(browser->profile_ + u"/stderr.log"_s),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int highLog = ::fcntl(log, F_DUPFD_CLOEXEC, 100);
    ::close(log);
    // The protocol reads commands from descriptor 3 and writes answers to 4.
    browser->process_ = ChildProcess::startMapped(
        {binary, u"--headless=new"_s, u"--no-sandbox"_s, u"--disable-gpu"_s,
         u"--disable-dev-shm-usage"_s, u"--no-first-run"_s, u"--no-default-browser-check"_s,
         u"--disable-extensions"_s, u"--hide-scrollbars"_s, u"--force-device-scale-factor=1"_s,
         u"--window-size=1280,900"_s, u"--user-data-dir="_s + browser->profile_,
         u"--remote-debugging-pipe"_s, u"about:blank"_s},
        {{commands[0], 3}, {answers[1], 4}, {highLog, 2}});
    ::close(highLog);
    ::close(commands[0]);
    ::close(answers[1]);
    browser->toBrowser_ = commands[1];
    browser->fromBrowser_ = answers[0];
    if (!browser->process_) {
        *error = u"chromium did not start"_s;
        return nullptr;
    }
    const QJsonObject target =
        browser->send(u"Target.createTarget"_s, {{u"url"_s, u"about:blank"_s}}, QString(), 60000);
    const QJsonObject attached = browser->send(
        u"Target.attachToTarget"_s,
        {{u"targetId"_s, target.value(u"targetId"_s)}, {u"flatten"_s, true}}, QString(), 30000);
    browser->session_ = attached.value(u"sessionId"_s).toString();
    if (browser->session_.isEmpty()) {
        *error = u"chromium did not open a page"_s;
        return nullptr;
    }
    return browser;
}

HeadlessBrowser::~HeadlessBrowser() {
    if (toBrowser_ >= 0 && !session_.isEmpty())
        send(u"Browser.close"_s, {}, QString(), 5000);
    process_.reset();
    ::close(toBrowser_);
    ::close(fromBrowser_);
}

QJsonObject HeadlessBrowser::send(const QString& method, const QJsonObject& params,
                                  const QString& session, int ms) {
    const int id = nextId_++;
    QJsonObject message{{u"id"_s, id}, {u"method"_s, method}, {u"params"_s, params}};
    if (!session.isEmpty())
        message.insert(u"sessionId"_s, session);
    QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::write(toBrowser_, bytes.constData() + sent, size_t(bytes.size() - sent));
        if (n <= 0) {
            ADD_FAILURE() << "chromium went away before " << method;
            return {{u"error"_s, u"gone"_s}};
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
            if (answer.value(u"id"_s).toInt() != id)
                continue;
            if (answer.contains(u"error"_s)) {
                ADD_FAILURE() << method << ": "
                              << QJsonDocument(answer.value(u"error"_s).toObject())
                                     .toJson(QJsonDocument::Compact)
                                     .toStdString();
                return {{u"error"_s, answer.value(u"error"_s)}};
            }
            return answer.value(u"result"_s).toObject();
        }
        pollfd readable{fromBrowser_, POLLIN, 0};
        const int left = ms - int(clock.elapsed());
        char buffer[65536];
        ssize_t n = 0;
        if (left <= 0 || ::poll(&readable, 1, left) <= 0 ||
            (n = ::read(fromBrowser_, buffer, sizeof buffer)) <= 0) {
            ADD_FAILURE() << "no answer from chromium to " << method;
            return {{u"error"_s, u"no answer"_s}};
        }
        pending_.append(buffer, n);
    }
}

QJsonObject HeadlessBrowser::call(const QString& method, const QJsonObject& params, int ms) {
    return send(method, params, session_, ms);
}

QJsonValue HeadlessBrowser::evaluate(const QString& expression) {
    const QJsonObject result = call(
        u"Runtime.evaluate"_s,
        {{u"expression"_s, expression}, {u"returnByValue"_s, true}, {u"awaitPromise"_s, true}});
    if (result.contains(u"exceptionDetails"_s))
        return QJsonValue(QJsonValue::Undefined);
    return result.value(u"result"_s).toObject().value(u"value"_s);
}

bool HeadlessBrowser::waitFor(const QString& expression, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (evaluate(u"Boolean(%1)"_s.arg(expression)).toBool())
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool HeadlessBrowser::navigate(const QString& url) {
    evaluate(u"window.__left = true"_s);
    call(u"Page.navigate"_s, {{u"url"_s, url}});
    return waitFor(u"!window.__left && document.readyState === 'complete'"_s, 30000);
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
    return QPointF(box.value(u"x"_s).toDouble(), box.value(u"y"_s).toDouble());
}

void HeadlessBrowser::mouse(const QString& type, QPointF at, int buttons) {
    call(u"Input.dispatchMouseEvent"_s, {{u"type"_s, type},
                                         {u"x"_s, at.x()},
                                         {u"y"_s, at.y()},
                                         {u"button"_s, u"left"_s},
                                         {u"buttons"_s, buttons},
                                         {u"clickCount"_s, 1}});
}

void HeadlessBrowser::click(QPointF at) {
    mouse(u"mouseMoved"_s, at, 0);
    mouse(u"mousePressed"_s, at, 1);
    mouse(u"mouseReleased"_s, at, 0);
}

void HeadlessBrowser::drag(QPointF from, QPointF to, int steps) {
    mouse(u"mouseMoved"_s, from, 0);
    mouse(u"mousePressed"_s, from, 1);
    for (int i = 1; i <= steps; ++i)
        mouse(u"mouseMoved"_s, from + (to - from) * (double(i) / steps), 1);
    mouse(u"mouseReleased"_s, to, 0);
}

void HeadlessBrowser::type(const QString& text) {
    call(u"Input.insertText"_s, {{u"text"_s, text}});
}

void HeadlessBrowser::press(const QString& key) {
    static const QHash<QString, int> codes = {{u"Enter"_s, 13}, {u"Escape"_s, 27}};
    for (const char* type : {"keyDown", "keyUp"})
        call(u"Input.dispatchKeyEvent"_s, {{u"type"_s, QString::fromLatin1(type)},
                                           {u"key"_s, key},
                                           {u"code"_s, key},
                                           {u"windowsVirtualKeyCode"_s, codes.value(key)}});
}

QByteArray HeadlessBrowser::screenshotPng() {
    const QJsonObject shot = call(u"Page.captureScreenshot"_s, {{u"format"_s, u"png"_s}});
    return QByteArray::fromBase64(shot.value(u"data"_s).toString().toLatin1());
}

} // namespace shotlark::test
