#include "server/HttpClient.h"

#include "server/Errors.h"

#include <QCoro/QCoroNetworkReply>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace shotlark {

using namespace std::chrono_literals;

namespace {

QNetworkAccessManager& network() {
    static auto* manager = new QNetworkAccessManager();
    return *manager;
}

// Connections per host are counted across both clients, as Qt counts them.
QHash<QString, int>& connectionsInUse() {
    static QHash<QString, int> counts;
    return counts;
}

QString hostKey(const QUrl& url) {
    return url.scheme() + QStringLiteral("://") + url.host() + QLatin1Char(':') +
           QString::number(url.port(url.scheme() == QStringLiteral("https") ? 443 : 80));
}

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

bool isTransportFailure(QNetworkReply::NetworkError error) {
    // 1-199: connection, TLS and proxy failures; the 200s, 300s and 400s describe HTTP statuses.
    return error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
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

    QNetworkRequest networkRequest(request.url);
    for (const auto& [name, value] : request.headers)
        networkRequest.setRawHeader(name, value);
    networkRequest.setTransferTimeout(static_cast<int>(limits_.inactivity.count()));
    // The token is the only credential: no cookies are kept or sent.
    networkRequest.setAttribute(QNetworkRequest::CookieLoadControlAttribute,
                                QNetworkRequest::Manual);
    networkRequest.setAttribute(QNetworkRequest::CookieSaveControlAttribute,
                                QNetworkRequest::Manual);
    if (!request.followRedirects)
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::ManualRedirectPolicy);

    std::unique_ptr<QFile> bodyFile;
    QNetworkReply* started = nullptr;
    if (!request.bodyFile.isEmpty()) {
        bodyFile = std::make_unique<QFile>(request.bodyFile);
        if (!bodyFile->open(QIODevice::ReadOnly))
            throw FileError(QStringLiteral("Couldn't read %1: %2")
                                .arg(request.bodyFile, bodyFile->errorString()));
        networkRequest.setHeader(QNetworkRequest::ContentLengthHeader, bodyFile->size());
        started = network().sendCustomRequest(networkRequest, request.method, bodyFile.get());
    } else if (request.method == "GET") {
        started = network().get(networkRequest);
    } else {
        started = network().sendCustomRequest(networkRequest, request.method, request.body);
    }
    std::unique_ptr<QNetworkReply, DeleteLater> reply(started);

    if (request.onUploadProgress) {
        QObject::connect(reply.get(), &QNetworkReply::uploadProgress, reply.get(),
                         [progress = request.onUploadProgress](qint64 sent, qint64 total) {
                             progress(sent, total);
                         });
    }
    bool wholeTimeUp = false;
    QTimer whole;
    whole.setSingleShot(true);
    QObject::connect(&whole, &QTimer::timeout, reply.get(), [&wholeTimeUp, raw = reply.get()] {
        wholeTimeUp = true;
        raw->abort();
    });
    whole.start(limits_.whole);

    QNetworkReply* const running = reply.get();
    co_await running;
    whole.stop();

    const QNetworkReply::NetworkError error = reply->error();
    // Qt reports its inactivity limit as a cancellation; nothing else here cancels.
    if (wholeTimeUp || error == QNetworkReply::OperationCanceledError)
        throw TransportError(TransportError::Kind::TimedOut,
                             QStringLiteral("The request timed out."));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (isTransportFailure(error) || (!status.isValid() && error != QNetworkReply::NoError))
        throw TransportError(TransportError::Kind::Failed, reply->errorString());
    // An answer that is not HTTP counts as status 0.
    co_return HttpResponse{status.isValid() ? status.toInt() : 0, reply->readAll(),
                           reply->rawHeaderPairs()};
}

} // namespace shotlark
