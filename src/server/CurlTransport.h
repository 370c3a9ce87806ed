#pragma once

#include "server/HttpClient.h"

#include <QHash>
#include <QObject>

#include <memory>

class QTimer;
class QSocketNotifier;

namespace shotlark {

// libcurl's multi interface driven by the main thread's event loop (socket notifiers and one
// timer): bodies are read from their file in large blocks, which Qt 6.4's upload path does not
// do (it re-reads the file's size for every small chunk and reaches a tenth of curl's speed).
// HTTP/1.1 only, so that a connection carries one request and per-host limits stay exact;
// no cookies; no proxy. SSL_CERT_FILE and SSL_CERT_DIR name other trusted certificates, as
// for OpenSSL's own tools.
class CurlTransport : public QObject {
public:
    static CurlTransport& shared();
    ~CurlTransport() override;

    // Runs one exchange; completes on the main thread from a fresh turn of the event loop.
    // Any status is a response; a failed transfer throws `TransportError` (time-outs as
    // `TimedOut`), an unreadable body file `FileError`.
    QCoro::Task<HttpResponse> perform(HttpRequest request, HttpClient::Limits limits);

private:
    CurlTransport();

    struct Transfer;
    struct Awaiter;
    static int onSocket(void* easy, int socket, int what, void* self, void* socketData);
    static int onTimer(void* multi, long timeoutMs, void* self);
    void act(int socket, int events);
    void collectFinished();
    void finish(Transfer* transfer, int code);
    void checkInactivity(Transfer* transfer);

    void* multi_ = nullptr;
    QTimer* timer_ = nullptr;
    struct Watch {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };
    QHash<int, Watch> watches_;
    QHash<void*, Transfer*> transfers_;
};

} // namespace shotlark
