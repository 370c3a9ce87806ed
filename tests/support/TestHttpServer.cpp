#include "TestHttpServer.h"
#include "support/Prelude.h"

#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>

namespace shotlark::test {

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

struct TestHttpServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray buffer;
    bool haveHead = false;
    qint64 bodyLeft = 0;
    RecordedRequest request;
};

TlsIdentity TlsIdentity::make(const QString& dir, const QString& name) {
    const TlsIdentity made{dir + u'/' + name + u".crt"_s, dir + u'/' + name + u".key"_s};
    const int exit = QProcess::execute(
        u"openssl"_s,
        {u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:P-256"_s,
         u"-nodes"_s, u"-days"_s, u"2"_s, u"-subj"_s, u"/CN="_s + name, u"-addext"_s,
         u"subjectAltName=IP:127.0.0.1,DNS:localhost"_s, u"-keyout"_s, made.keyFile, u"-out"_s,
         made.certificateFile});
    return exit == 0 ? made : TlsIdentity{};
}

TestHttpServer::TestHttpServer() : server_(std::make_unique<QTcpServer>()) {
    connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, &TestHttpServer::accept);
    server_->listen(QHostAddress::LocalHost, 0);
}

TestHttpServer::TestHttpServer(const TlsIdentity& tls) : tls_(true) {
    auto server = std::make_unique<QSslServer>();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QFile certificate(tls.certificateFile);
    QFile key(tls.keyFile);
    certificate.open(QIODevice::ReadOnly);
    key.open(QIODevice::ReadOnly);
    configuration.setLocalCertificate(QSslCertificate(&certificate, QSsl::Pem));
    configuration.setPrivateKey(QSslKey(&key, QSsl::Ec, QSsl::Pem));
    server->setSslConfiguration(configuration);
    server_ = std::move(server);
    // A TLS connection becomes pending only once its handshake is done.
    connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, &TestHttpServer::accept);
    server_->listen(QHostAddress::LocalHost, 0);
}

TestHttpServer::~TestHttpServer() {
    server_->close();
}

QString TestHttpServer::url(const QString& path) const {
    return u"%1://127.0.0.1:%2%3"_s.arg(tls_ ? u"https"_s : u"http"_s).arg(port()).arg(path);
}

void TestHttpServer::on(const QByteArray& path, CannedResponse response) {
    routes_.insert(path, std::move(response));
}

QList<RecordedRequest> TestHttpServer::requestsTo(const QByteArray& path) const {
    QList<RecordedRequest> matching;
    for (const RecordedRequest& request : requests_) {
        if (request.path() == path)
            matching.append(request);
    }
    return matching;
}

bool TestHttpServer::waitForRequests(int count, int ms) {
    return QTest::qWaitFor([&] { return requests_.size() >= count; }, ms);
}

void TestHttpServer::accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this,
                [this, connection] { readFrom(*connection); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void TestHttpServer::readFrom(Connection& c) {
    c.buffer += c.socket->readAll();
    for (;;) {
        if (!c.haveHead) {
            const qsizetype end = c.buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = c.buffer.left(end).split('\n');
            c.buffer.remove(0, end + 4);
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            c.request = RecordedRequest{requestLine.value(0), requestLine.value(1), {}, {}, 0};
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const QByteArray line = lines[i].trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon > 0)
                    c.request.headers.append(
                        {line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
            c.bodyLeft = c.request.header("Content-Length").toLongLong();
            c.haveHead = true;
            peak_ = std::max(peak_, ++open_);
        }
        const qint64 take = std::min<qint64>(c.bodyLeft, c.buffer.size());
        if (!discard_)
            c.request.body += c.buffer.left(take);
        c.request.bodySize += take;
        c.buffer.remove(0, take);
        c.bodyLeft -= take;
        if (c.bodyLeft > 0)
            return;

        c.haveHead = false;
        requests_.append(c.request);
        CannedResponse response =
            handler_ ? handler_(c.request) : routes_.value(c.request.path(), default_);
        if (response.behaviour == CannedResponse::Behaviour::Hang)
            return; // the connection stays open and silent
        if (response.delay.count() > 0) {
            QTimer::singleShot(response.delay, this, [this, socket = QPointer(c.socket), response] {
                if (socket)
                    respond(socket, response);
            });
            return;
        }
        respond(c.socket, response);
        if (c.buffer.isEmpty())
            return;
    }
}

void TestHttpServer::respond(QTcpSocket* socket, const CannedResponse& response) {
    --open_;
    if (response.behaviour == CannedResponse::Behaviour::Close) {
        socket->abort();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Canned\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head + response.body);
    socket->disconnectFromHost();
}

} // namespace shotlark::test
