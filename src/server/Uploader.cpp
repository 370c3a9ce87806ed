#include "server/Uploader.h"

#include "base/Errors.h"
#include "base/Worker.h"
#include "server/HttpClient.h"
#include "server/ServerInfo.h"
#include "store/Config.h"
#include "store/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace shotlark {

namespace {

constexpr qint64 copyChunk = 4 * 1024 * 1024;

// Removes a temporary file when the operation that owns it ends, however it ends.
struct TemporaryFile {
    QString path;
    ~TemporaryFile() {
        if (!path.isEmpty())
            QFile::remove(path);
    }
};

[[noreturn]] void fileError(const QString& what, const QFile& file) {
    throw FileError(what + file.fileName() + QStringLiteral(": ") + file.errorString());
}

void put(QFile& out, const QByteArray& bytes) {
    if (out.write(bytes) != bytes.size())
        fileError(QStringLiteral("Couldn't write "), out);
}

void copyByReading(QFile& out, QFile& in) {
    QByteArray chunk(copyChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(chunk.data(), copyChunk);
        if (n < 0)
            fileError(QStringLiteral("Couldn't read "), in);
        if (n == 0)
            break;
        if (out.write(chunk.constData(), n) != n)
            fileError(QStringLiteral("Couldn't write "), out);
    }
}

void copyInto(QFile& out, const QString& source) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        fileError(QStringLiteral("Couldn't read "), in);
    if (!out.flush())
        fileError(QStringLiteral("Couldn't write "), out);
    // The kernel copies the bytes (or shares them, where the file system can): nothing passes
    // through this process.
    qint64 copied = 0;
    for (;;) {
        const ssize_t n =
            ::copy_file_range(in.handle(), nullptr, out.handle(), nullptr, copyChunk * 64, 0);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (copied == 0) {
            // Not possible here (another file system, a pipe, a /proc file that claims to be
            // empty): copy the plain way.
            if (n == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                errno == EOPNOTSUPP || errno == EBADF) {
                copyByReading(out, in);
                return;
            }
        }
        if (n == 0)
            break;
        throw FileError(QStringLiteral("Couldn't copy %1: %2")
                            .arg(source, QString::fromLocal8Bit(std::strerror(errno))));
    }
    // QFile keeps its own idea of the position: move it past what the kernel wrote.
    if (!out.seek(out.pos() + copied))
        fileError(QStringLiteral("Couldn't write "), out);
}

// Creates an empty body file and hands it to `fill`; the file goes again if `fill` throws.
template <typename Fill> QString writeBody(Fill fill) {
    TemporaryFile body{paths::temporaryPath(QStringLiteral("slk-body-"))};
    QFile out(body.path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        fileError(QStringLiteral("Couldn't create "), out);
    fill(out);
    if (!out.flush())
        fileError(QStringLiteral("Couldn't write "), out);
    out.close();
    return std::exchange(body.path, QString());
}

QByteArray bearer(const QString& token) {
    return "Bearer " + token.toUtf8();
}

QByteArray multipartType(const QString& boundary) {
    return "multipart/form-data; boundary=" + boundary.toUtf8();
}

UploaderError failure(const HttpResponse& response, const QString& fallback) {
    return UploaderError(Uploader::serverError(response.body).value_or(fallback));
}

QString uploadFailed(int status) {
    return QStringLiteral("Upload failed (HTTP %1)").arg(status);
}

// The configured server's address, or the "not connected" error.
QUrl configuredServer() {
    const Config& config = Config::shared();
    if (!config.isConfigured())
        throw UploaderError(Uploader::notConnected);
    const auto base = Uploader::serverURL(config.server());
    if (!base)
        throw UploaderError(Uploader::notConnected);
    return *base;
}

} // namespace

QString Uploader::makeBoundary() {
    return QStringLiteral("slk-") + paths::uuidString();
}

QString Uploader::partFileName(const QString& fileName) {
    QString name = fileName;
    name.replace(QLatin1Char('"'), QStringLiteral("%22"));
    name.remove(QLatin1Char('\r'));
    name.remove(QLatin1Char('\n'));
    return name;
}

QString Uploader::contentType(const QString& fileName) {
    // By the extension alone: not by content, nor by whole-name patterns such as "README".
    const QString extension = QFileInfo(fileName).suffix();
    if (extension.isEmpty())
        return QStringLiteral("application/octet-stream");
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(QStringLiteral("file.") + extension,
                                                    QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return QStringLiteral("application/octet-stream");
    return type.name();
}

QString Uploader::writeMultipartBody(const QString& file, const QString& boundary,
                                     const QString& fieldName,
                                     const QList<std::pair<QString, QString>>& fields) {
    return writeBody([&](QFile& out) {
        for (const auto& [field, value] : fields)
            put(out, ("--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                      partFileName(field) + "\"\r\n\r\n" + value + "\r\n")
                         .toUtf8());
        const QString name = QFileInfo(file).fileName();
        put(out, ("--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"" +
                  partFileName(fieldName) + "\"; filename=\"" + partFileName(name) + "\"\r\n" +
                  "Content-Type: " + contentType(name) + "\r\n\r\n")
                     .toUtf8());
        copyInto(out, file);
        put(out, ("\r\n--" + boundary + "--\r\n").toUtf8());
    });
}

QString Uploader::writeReplayBody(const QStringList& segments, int seconds,
                                  const QString& boundary) {
    return writeBody([&](QFile& out) {
        put(out,
            ("--" + boundary + "\r\n" + "Content-Disposition: form-data; name=\"seconds\"\r\n\r\n" +
             QString::number(seconds) + "\r\n")
                .toUtf8());
        for (qsizetype i = 0; i < segments.size(); ++i) {
            put(out, ("--" + boundary + "\r\n" +
                      "Content-Disposition: form-data; name=\"file\"; filename=\"segment" +
                      QString::number(i) + ".mp4\"\r\n" + "Content-Type: video/mp4\r\n\r\n")
                         .toUtf8());
            copyInto(out, segments[i]);
            put(out, "\r\n");
        }
        put(out, ("--" + boundary + "--\r\n").toUtf8());
    });
}

std::optional<QString> Uploader::serverError(const QByteArray& body) {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue error = document.object().value(QLatin1StringView("error"));
    if (!document.isObject() || !error.isString())
        return std::nullopt;
    return error.toString();
}

QUrl Uploader::endpoint(const QUrl& base, const QString& path) {
    QUrl url = base;
    QString joined = base.path();
    if (!joined.endsWith(QLatin1Char('/')))
        joined += QLatin1Char('/');
    url.setPath(joined + path);
    return url;
}

std::optional<QUrl> Uploader::serverURL(const QString& address) {
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

namespace {

// Writes a multipart body on a worker thread (copying files is blocking work, never for the
// main thread), posts it to `path` of the configured server, and returns the answer. The body
// file goes on every way out.
QCoro::Task<HttpResponse> postMultipart(QString path,
                                        std::function<QString(const QString& boundary)> write,
                                        std::optional<QString> convert,
                                        Uploader::Progress progress) {
    const QUrl base = configuredServer();
    const QString token = Config::shared().token();
    const QString boundary = Uploader::makeBoundary();

    // g++ 12 miscompiles temporaries around co_await (in its operand, or a braced initializer
    // holding it): name every task and every result first.
    auto writing = onWorker([write = std::move(write), boundary] { return write(boundary); });
    QString bodyPath = co_await std::move(writing);
    const TemporaryFile body{std::move(bodyPath)};

    HttpRequest request;
    request.url = Uploader::endpoint(base, path);
    request.method = "POST";
    request.headers = {{"Authorization", bearer(token)}, {"Content-Type", multipartType(boundary)}};
    if (convert)
        request.headers.append({"X-Convert", convert->toUtf8()});
    request.bodyFile = body.path;
    if (progress) {
        request.onUploadProgress = [progress = std::move(progress)](qint64 sent, qint64 total) {
            if (total > 0)
                progress(static_cast<double>(sent) / static_cast<double>(total));
        };
    }
    auto sending = HttpClient::session().send(std::move(request));
    HttpResponse response = co_await std::move(sending);
    if (response.status < 200 || response.status > 299)
        throw failure(response, uploadFailed(response.status));
    co_return response;
}

} // namespace

QCoro::Task<UploadResult> Uploader::upload(QString file, std::optional<QString> convert,
                                           Progress progress) {
    auto posting = postMultipart(
        QStringLiteral("api/upload"),
        [file](const QString& boundary) { return writeMultipartBody(file, boundary); },
        std::move(convert), std::move(progress));
    const HttpResponse response = co_await std::move(posting);
    auto result = UploadResult::decode(response.body);
    if (!result)
        throw UploaderError(QStringLiteral("Unexpected response from server"));
    co_return std::move(*result);
}

QCoro::Task<QString> Uploader::verify(QString server, QString token) {
    const auto base = serverURL(Config::normalize(server));
    if (!base)
        throw UploaderError(QStringLiteral("That server URL doesn't look right"));
    HttpRequest request;
    request.url = endpoint(*base, QStringLiteral("api/me"));
    request.headers = {{"Authorization", bearer(token)}};
    auto sending = HttpClient::session().send(std::move(request));
    const HttpResponse response = co_await std::move(sending);
    if (response.status != 200)
        throw failure(response, QStringLiteral("Server answered HTTP %1").arg(response.status));
    const QJsonValue username =
        QJsonDocument::fromJson(response.body).object().value(QLatin1StringView("username"));
    if (!username.isString())
        throw DecodingError();
    co_return username.toString();
}

QCoro::Task<QUrl> Uploader::signedInLink(QUrl page) {
    const Config& config = Config::shared();
    const auto base = serverURL(config.server());
    if (!base || !ServerInfo::shared().isEnabled(features::signInLinks) ||
        page.scheme() != base->scheme() || page.host() != base->host() ||
        page.port() != base->port())
        co_return page;
    HttpRequest request;
    request.method = "POST";
    request.url = endpoint(*base, QStringLiteral("api/sign-in-link"));
    request.headers = {{"Authorization", bearer(config.token())},
                       {"Content-Type", "application/json"}};
    const QString next = page.path(QUrl::FullyEncoded) +
                         (page.hasQuery() ? u'?' + page.query(QUrl::FullyEncoded) : QString());
    request.body =
        QJsonDocument(QJsonObject{{QStringLiteral("next"), next}}).toJson(QJsonDocument::Compact);
    try {
        auto sending = HttpClient::session().send(std::move(request));
        const HttpResponse response = co_await std::move(sending);
        const QUrl link(QJsonDocument::fromJson(response.body)
                            .object()
                            .value(QLatin1StringView("url"))
                            .toString(),
                        QUrl::StrictMode);
        // Only a web link to the same server: the answer decides where the browser goes.
        if (response.status == 200 && isWebLink(link) && link.host() == base->host())
            co_return link;
    } catch (const Error&) {
        // The page itself: the user signs in there.
    }
    co_return page;
}

QCoro::Task<UploadResult> Uploader::uploadReplay(QStringList segments, int seconds) {
    auto posting = postMultipart(QStringLiteral("api/replay"),
                                 [segments, seconds](const QString& boundary) {
                                     return writeReplayBody(segments, seconds, boundary);
                                 },
                                 std::nullopt, {});
    const HttpResponse response = co_await std::move(posting);
    auto result = UploadResult::decode(response.body);
    if (!result)
        throw DecodingError(); // unlike a single upload: the decoding error itself
    co_return std::move(*result);
}

QCoro::Task<Uploader::Deletion> Uploader::deleteUpload(QString deletionURL) {
    const auto url = serverURL(deletionURL);
    if (!url)
        co_return Deletion::NotALink;
    // Only web links are followed: a server must not make us read local files.
    if (url->scheme() != QStringLiteral("http") && url->scheme() != QStringLiteral("https"))
        co_return Deletion::Refused;
    HttpRequest request;
    request.url = *url;
    try {
        auto sending = HttpClient::shared().send(std::move(request));
        const HttpResponse response = co_await std::move(sending);
        co_return response.status == 200 || response.status == 404 ? Deletion::Done
                                                                   : Deletion::Refused;
    } catch (const Error&) {
        co_return Deletion::Refused;
    }
}

} // namespace shotlark
