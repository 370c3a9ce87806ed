#include "server/HttpClient.h"

#include "server/CurlTransport.h"

namespace shotlark {

using namespace std::chrono_literals;

namespace {

// Connections per host are counted across both clients.
QHash<QString, int>& connectionsInUse() {
    static QHash<QString, int> counts;
    return counts;
}

QString hostKey(const QUrl& url) {
    return url.scheme() + QStringLiteral("://") + url.host() + QLatin1Char(':') +
           QString::number(url.port(url.scheme() == QStringLiteral("https") ? 443 : 80));
}

} // namespace

QByteArray HttpResponse::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

HttpClient::HttpClient(Limits limits) : limits_(limits) {}

HttpClient& HttpClient::session() {
    static auto* client = new HttpClient({4, 60s, 3600s});
    return *client;
}

HttpClient& HttpClient::shared() {
    static auto* client = new HttpClient({transportConnectionsPerHost, 60s, 7 * 24h});
    return *client;
}

struct HttpClient::SlotAwaiter {
    HttpClient* client;
    QString host;
    bool await_ready() { return client->tryAcquire(host); }
    void await_suspend(std::coroutine_handle<> handle) {
        client->waiters_.push_back({host, handle});
    }
    void await_resume() {}
};

struct HttpClient::SlotRelease {
    HttpClient* client;
    QString host;
    ~SlotRelease() { client->release(host); }
};

bool HttpClient::tryAcquire(const QString& host) {
    int& total = connectionsInUse()[host];
    int& own = active_[host];
    if (own >= limits_.connectionsPerHost || total >= transportConnectionsPerHost)
        return false;
    ++own;
    ++total;
    return true;
}

void HttpClient::release(const QString& host) {
    --active_[host];
    --connectionsInUse()[host];
    // A freed connection may serve a waiter of either client.
    session().wakeWaiters();
    shared().wakeWaiters();
}

void HttpClient::wakeWaiters() {
    for (auto it = waiters_.begin(); it != waiters_.end();) {
        if (!tryAcquire(it->host)) {
            ++it;
            continue;
        }
        // Resume from the event loop, not from inside the finishing request's frame.
        QMetaObject::invokeMethod(
            this, [handle = it->handle] { handle.resume(); }, Qt::QueuedConnection);
        it = waiters_.erase(it);
    }
}

QCoro::Task<HttpResponse> HttpClient::send(HttpRequest request) {
    const QString host = hostKey(request.url);
    // Awaiters and tasks are named before co_await: g++ 12 destroys temporaries there twice.
    SlotAwaiter waitForSlot{this, host};
    co_await waitForSlot;
    SlotRelease slot{this, host};

    auto performing = CurlTransport::shared().perform(std::move(request), limits_);
    HttpResponse response = co_await std::move(performing);
    co_return response;
}

} // namespace shotlark
