#pragma once

#include "ChildProcess.h"
#include "support/Prelude.h"

#include <QJsonValue>
#include <QPointF>

namespace shotlark::test {

// Debian's chromium without a display, driven over the DevTools protocol on a pipe: one page,
// real mouse and keyboard input, scripts evaluated in the page.
class HeadlessBrowser {
public:
    // Null (with `error` set) when chromium is missing or does not answer.
    static std::unique_ptr<HeadlessBrowser> start(QString* error);
    ~HeadlessBrowser();

    // A command to the page; its result, or an object with "error" (and a test failure).
    QJsonObject call(const QString& method, const QJsonObject& params = {}, int ms = 30000);
    // The value of a script (promises awaited); undefined when it threw.
    QJsonValue evaluate(const QString& expression);
    // Loads `url` and waits until the page and its resources have loaded.
    bool navigate(const QString& url);
    // Waits until `expression` is truthy.
    bool waitFor(const QString& expression, int ms = 10000);
    // The centre of the first element matching `selector`, in page pixels (null when none).
    QPointF centreOf(const QString& selector);
    void click(QPointF at);
    void drag(QPointF from, QPointF to, int steps = 8);
    void type(const QString& text);
    void press(const QString& key); // a named key, e.g. "Enter"
    QByteArray screenshotPng();

private:
    HeadlessBrowser() = default;
    QJsonObject send(const QString& method, const QJsonObject& params, const QString& session,
                     int ms);
    void mouse(const QString& type, QPointF at, int buttons);

    std::unique_ptr<ChildProcess> process_;
    QString profile_;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    QByteArray pending_;
    int nextId_ = 1;
    QString session_;
};

} // namespace shotlark::test
