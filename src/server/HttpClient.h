#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <coroutine>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

namespace shotlark {

struct HttpRequest {
    QUrl url;
    QByteArray method = "GET";
    QList<std::pair<QByteArray, QByteArray>> headers;
    QString bodyFile; // streamed from this file when set (uploads)
    QByteArray body;  // otherwise sent as is (small JSON)
    // The answer's body is written to this file (created, or emptied) instead of kept in
    // `HttpResponse::body`: downloads, which may be larger than any answer the app reads.
    QString saveTo;
    bool followRedirects = true;
    // Body bytes sent so far and in all; called on the main thread, in order.
    std::function<void(qint64 sent, qint64 total)> onUploadProgress;
};

struct HttpResponse {
    int status = 0;
    QUrl url; // where the answer came from, after redirects
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    // The first header of that name (case-insensitive); null when absent.
    QByteArray header(const QByteArray& name) const;
};

// HTTP for the main thread (libcurl underneath, see CurlTransport). Requests wait in our own
// queue until a connection is free, so that a waiting request neither opens more connections
// than allowed nor has its time limits running. Any status is a response; only a failed transfer
// throws `TransportError`.
class HttpClient : public QObject {
public:
    struct Limits {
        int connectionsPerHost;
        std::chrono::milliseconds inactivity; // no bytes either way for this long
        std::chrono::milliseconds whole;      // the whole exchange, queueing excluded
    };

    // The client of the app's own requests (uploads, account check): 4 connections per host,
    // 60 s without data, one hour in all.
    static HttpClient& session();
    // The client with the platform's defaults, for plain queries (features, deletion).
    static HttpClient& shared();

    QCoro::Task<HttpResponse> send(HttpRequest request);

    const Limits& limits() const { return limits_; }
    void setLimits(const Limits& limits) { limits_ = limits; }

    // At most this many connections to one host, whatever client asks.
    static constexpr int transportConnectionsPerHost = 6;

private:
    explicit HttpClient(Limits limits);

    struct SlotAwaiter;
    struct SlotRelease;
    bool tryAcquire(const QString& host);
    void release(const QString& host);
    void wakeWaiters();

    Limits limits_;
    QHash<QString, int> active_;
    struct Waiter {
        QString host;
        std::coroutine_handle<> handle;
    };
    std::deque<Waiter> waiters_;
};

} // namespace shotlark
