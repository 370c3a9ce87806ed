#pragma once

#include "support/Prelude.h"
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <utility>

class QTcpSocket;

namespace shotlark::test {

struct RecordedRequest {
    QByteArray method;
    QByteArray target; // path and query, as sent
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    qint64 bodySize = 0; // also counted when bodies are discarded

    QByteArray path() const {
        return target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    }
    // The value of the first header of that name (case-insensitive); null when absent.
    QByteArray header(const QByteArray& name) const;
    // The file name of the (first) uploaded part of a multipart body.
    QString partName() const {
        return QRegularExpression(u"filename=\"([^\"]*)\""_s)
            .match(QString::fromUtf8(body))
            .captured(1);
    }
};

// A certificate and its key in PEM files, for a TLS test server.
struct TlsIdentity {
    QString certificateFile;
    QString keyFile;
    // A self-signed certificate for 127.0.0.1 and localhost, made with the openssl tool in
    // `dir`; empty files on failure.
    static TlsIdentity make(const QString& dir, const QString& name);
};

struct CannedResponse {
    enum class Behaviour { Answer, Hang, Close };
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    Behaviour behaviour = Behaviour::Answer;
    std::chrono::milliseconds delay{0}; // answer this long after the request arrived
};

// An HTTP/1.1 server on 127.0.0.1 for tests: records every request raw and answers what the
// test says, per path. Runs on the thread's event loop, beside the client under test. With a
// TLS identity it speaks https.
class TestHttpServer : public QObject {
public:
    TestHttpServer();
    explicit TestHttpServer(const TlsIdentity& tls);
    ~TestHttpServer() override;

    quint16 port() const { return server_->serverPort(); }
    // "http(s)://127.0.0.1:PORT" + path
    QString url(const QString& path = QString()) const;

    // Answers requests whose path is `path` (exactly) with `response`; the default is a 404.
    void on(const QByteArray& path, CannedResponse response);
    void setDefault(CannedResponse response) { default_ = std::move(response); }
    // Computes the answer instead of a canned one.
    void setHandler(std::function<CannedResponse(const RecordedRequest&)> handler) {
        handler_ = std::move(handler);
    }
    // Counts body bytes without keeping them (large uploads).
    void setDiscardBodies(bool discard) { discard_ = discard; }

    const QList<RecordedRequest>& requests() const { return requests_; }
    QList<RecordedRequest> requestsTo(const QByteArray& path) const;
    // The most requests that were open (received, not yet answered) at the same time.
    int peakConcurrent() const { return peak_; }
    // Runs the event loop until `count` requests have arrived in all, or `ms` passed.
    bool waitForRequests(int count, int ms = 10000);

private:
    struct Connection;
    void accept();
    void readFrom(Connection& connection);
    void respond(QTcpSocket* socket, const CannedResponse& response);

    std::unique_ptr<QTcpServer> server_;
    bool tls_ = false;
    QHash<QByteArray, CannedResponse> routes_;
    CannedResponse default_{404, R"({"error":"Not found"})"};
    std::function<CannedResponse(const RecordedRequest&)> handler_;
    bool discard_ = false;
    QList<RecordedRequest> requests_;
    int open_ = 0;
    int peak_ = 0;
};

} // namespace shotlark::test
