#include "MediaServer.h"

#include "Crypto.h"
#include "Pages.h"
#include "ReplayJoin.h"
#include "Thumbnails.h"

#include <httplib.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;
using httplib::Request;
using httplib::Response;

namespace {

constexpr int64_t sessionSeconds = 12 * 3600;
constexpr uint64_t smallBodyLimit = 1 << 20;
constexpr const char* sessionCookie = "slk_session";

int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

void json(Response& response, const QJsonObject& object, int status = 200) {
    response.status = status;
    response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(),
                         "application/json");
}

void fail(Response& response, int status, const std::string& message) {
    json(response, {{QStringLiteral("error"), q(message)}}, status);
}

// Writes `bytes` to `path` and says whether every byte reached the disk.
bool writeWhole(const fs::path& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const bool whole = written == bytes.size() && ::fsync(fd) == 0;
    return ::close(fd) == 0 && whole;
}

void htmlPage(Response& response, const std::string& title, const std::string& body,
              int status = 200) {
    response.status = status;
    response.set_header(
        "Content-Security-Policy",
        "default-src 'self'; style-src 'unsafe-inline'; media-src 'self'; img-src 'self'");
    response.set_header("X-Frame-Options", "DENY");
    response.set_content(html::document(title, body), "text/html; charset=utf-8");
}

void redirect(Response& response, const std::string& to) {
    response.status = 303;
    response.set_header("Location", to);
}

// A file name fit to store and show: no directories, no leading dots, no control characters.
std::string sanitizeName(std::string name) {
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    std::string clean;
    for (unsigned char c : name) {
        if (c >= 0x20 && c != 0x7f)
            clean += static_cast<char>(c);
    }
    clean.erase(0, clean.find_first_not_of(". "));
    while (!clean.empty() && (clean.back() == ' ' || clean.back() == '.'))
        clean.pop_back();
    if (clean.size() > 200) {
        const size_t dot = clean.rfind('.');
        const std::string extension =
            dot != std::string::npos && clean.size() - dot <= 16 ? clean.substr(dot) : "";
        clean = QString::fromUtf8(clean.substr(0, 200 - extension.size()).c_str()).toStdString() +
                extension; // drop a cut multi-byte sequence
    }
    return clean.empty() ? "upload" : clean;
}

std::string mimeFor(const std::string& name) {
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(q(name), QMimeDatabase::MatchExtension);
    return type.isValid() ? type.name().toStdString() : "application/octet-stream";
}

std::string statusText(int status) {
    switch (status) {
    case 400:
        return "Bad request";
    case 404:
        return "Not found";
    case 405:
        return "Method not allowed";
    case 413:
        return "Request too large";
    case 414:
        return "Address too long";
    case 416:
        return "Range not satisfiable";
    case 431:
        return "Request headers too large";
    default:
        return status >= 500 ? "The server failed to handle the request"
                             : "The request was refused";
    }
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Types a browser shows inline without running anything of the uploader's.
bool safeInline(const std::string& mime) {
    return (startsWith(mime, "image/") && mime != "image/svg+xml") || startsWith(mime, "video/") ||
           startsWith(mime, "audio/") || mime == "text/plain" || mime == "application/pdf";
}

std::string cookie(const Request& request, const std::string& name) {
    const std::string header = request.get_header_value("Cookie");
    size_t at = 0;
    while (at < header.size()) {
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        std::string pair = header.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (startsWith(pair, (name + "=").c_str()))
            return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return std::string();
}

// A streamed multipart body: the part "file" goes to a temporary file, other parts are ignored.
struct IncomingFile {
    fs::path path;
    int fd = -1;
    std::string fileName;
    int64_t size = 0;
    bool inFilePart = false;
    bool haveFile = false;
    bool tooLarge = false;
    bool writeFailed = false;

    ~IncomingFile() {
        if (fd >= 0)
            ::close(fd);
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec); // still here only when the upload was not committed
        }
    }
};

} // namespace

const std::vector<std::string>& allFeatures() {
    static const std::vector<std::string> names = {"annotate",     "app_gif",     "app_ocr",
                                                   "app_presence", "auto_update", "replay_buffer"};
    return names;
}

MediaServer::MediaServer(Options options, Store& store)
    : options_(std::move(options)), store_(store),
      http_(std::make_unique<GuardedServer>(options_.clientLimits)) {
    routes();
}

MediaServer::~MediaServer() = default;

int MediaServer::bind() {
    const int port = options_.port == 0
                         ? http_->bind_to_any_port(options_.host)
                         : (http_->bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port > 0 && options_.publicUrl.empty()) {
        const bool v6 = options_.host.find(':') != std::string::npos;
        options_.publicUrl = "http://" + (v6 ? "[" + options_.host + "]" : options_.host) + ":" +
                             std::to_string(port);
    }
    while (!options_.publicUrl.empty() && options_.publicUrl.back() == '/')
        options_.publicUrl.pop_back();
    return port;
}

bool MediaServer::run() {
    return http_->listen_after_bind();
}

void MediaServer::stop() {
    http_->stop();
}

void MediaServer::waitForUploads(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (uploadsInFlight_ > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string MediaServer::rawLink(const Upload& upload) const {
    return link("/r/" + upload.id + "/" + html::percentEncode(upload.name));
}

void MediaServer::routes() {
    const int threads = options_.threads;
    http_->new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    http_->set_tcp_nodelay(true); // answers are small: never wait for a delayed ACK
    http_->set_read_timeout(60, 0);
    http_->set_write_timeout(60, 0);
    // Upload bodies stream to disk; every other body is read whole, so it must be small.
    http_->set_payload_max_length(static_cast<size_t>(options_.maxUploadBytes) + (1 << 20));
    http_->set_pre_routing_handler([](const Request& request, Response& response) {
        GuardedServer::headersReceived();
        // httplib would answer any number of byte ranges, and some of them wrongly: files are
        // served by our own rule (serveFile), so its parsed ranges are dropped here. The
        // request is the server's own, non-const object.
        const_cast<Request&>(request).ranges.clear();
        if (request.path == "/api/upload" || request.path == "/api/replay")
            return httplib::Server::HandlerResponse::Unhandled;
        const bool chunked =
            request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
        if (chunked || std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr,
                                     10) > smallBodyLimit) {
            response.set_header("Connection", "close");
            fail(response, 413, "The request body is too large");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http_->set_error_handler([](const Request&, Response& response) {
        if (response.body.empty())
            fail(response, response.status, statusText(response.status));
    });
    http_->set_exception_handler([](const Request&, Response& response, std::exception_ptr) {
        fail(response, 500, "The server failed to handle the request");
    });

    http_->Post("/api/upload", [this](const Request& request, Response& response,
                                      const httplib::ContentReader& reader) {
        upload(request, response, reader);
    });
    http_->Post("/api/replay", [this](const Request& request, Response& response,
                                      const httplib::ContentReader& reader) {
        replay(request, response, reader);
    });
    http_->Get("/api/me", [this](const Request& rq, Response& rs) { me(rq, rs); });
    http_->Get("/api/features", [this](const Request&, Response& response) {
        QJsonArray enabled;
        for (const std::string& name : options_.features)
            enabled.append(q(name));
        json(response, {{QStringLiteral("enabled"), enabled}});
    });
    http_->Post("/api/me/now-playing",
                [this](const Request& rq, Response& rs) { nowPlaying(rq, rs); });
    http_->Get("/api/setup/versions", [this](const Request&, Response& rs) { versions(rs); });
    http_->Get(R"(/delete/([0-9A-Za-z]+)/([0-9a-f]+))",
               [this](const Request& rq, Response& rs) { deletion(rq, rs); });
    http_->Get(R"(/u/([0-9A-Za-z]+))", [this](const Request& rq, Response& rs) { page(rq, rs); });
    http_->Get(R"(/r/([0-9A-Za-z]+)(/[^/]*)?)",
               [this](const Request& rq, Response& rs) { raw(rq, rs); });
    http_->Get(R"(/t/([0-9A-Za-z]+)\.png)",
               [this](const Request& rq, Response& rs) { thumbnail(rq, rs); });
    http_->Get(R"(/@([^/]+))", [this](const Request& rq, Response& rs) { userPage(rq, rs); });
    http_->Get("/", [](const Request&, Response& rs) { redirect(rs, "/dashboard/"); });
    http_->Get("/dashboard", [](const Request&, Response& rs) { redirect(rs, "/dashboard/"); });
    http_->Get("/dashboard/", [this](const Request& rq, Response& rs) { dashboard(rq, rs); });
    http_->Post("/dashboard/login", [this](const Request& rq, Response& rs) { login(rq, rs); });
    http_->Post("/dashboard/logout", [this](const Request& rq, Response& rs) { logout(rq, rs); });
    http_->Post("/dashboard/delete",
                [this](const Request& rq, Response& rs) { dashboardDelete(rq, rs); });
    http_->Get("/dashboard/setup/", [this](const Request& rq, Response& rs) { setup(rq, rs); });
    http_->Get("/dashboard/edit/", [this](const Request& rq, Response& rs) { editor(rq, rs); });
    http_->Get(R"(/releases/([A-Za-z0-9._-]+\.zip))",
               [this](const Request& rq, Response& rs) { release(rq, rs); });
}

std::optional<User> MediaServer::bearer(const Request& request) {
    const std::string header = request.get_header_value("Authorization");
    if (!startsWith(header, "Bearer ") || header.size() <= 7)
        return std::nullopt;
    return store_.userForToken(header.substr(7));
}

namespace {

// Counts a body being received, for a shutdown that waits for them.
struct InFlight {
    explicit InFlight(std::atomic<int>& count) : count(count) { ++count; }
    ~InFlight() { --count; }
    std::atomic<int>& count;
};

// Answers that leave the body unread must end the connection, or its rest would be taken for
// the next request.
void refuseBody(Response& response, int status, const std::string& message) {
    response.set_header("Connection", "close");
    fail(response, status, message);
}

} // namespace

std::optional<User> MediaServer::admitBody(const Request& request, Response& response,
                                           const std::string& what, const std::string& expected) {
    const auto user = bearer(request);
    if (!user) {
        refuseBody(response, 401, "Invalid or missing upload token");
        return std::nullopt;
    }
    if (!request.is_multipart_form_data()) {
        refuseBody(response, 400, expected);
        return std::nullopt;
    }
    const std::string length = request.get_header_value("Content-Length");
    if (!length.empty() &&
        std::strtoll(length.c_str(), nullptr, 10) > options_.maxUploadBytes + 64 * 1024) {
        refuseBody(response, 413,
                   what + " is larger than this server accepts (" +
                       html::humanSize(options_.maxUploadBytes) + ")");
        return std::nullopt;
    }
    return user;
}

void MediaServer::upload(const Request& request, Response& response,
                         const httplib::ContentReader& reader) {
    const InFlight counted(uploadsInFlight_);
    auto refuse = [&](int status, const std::string& message) {
        refuseBody(response, status, message);
    };
    if (request.has_header("X-Convert") && bearer(request))
        return refuse(400, "This server can't convert recordings (X-Convert: " +
                               request.get_header_value("X-Convert") + ") yet");
    const auto user = admitBody(request, response, "File",
                                "Expected a multipart/form-data body with a part named \"file\"");
    if (!user)
        return;

    IncomingFile incoming;
    const bool read = reader(
        [&](const httplib::MultipartFormData& part) {
            incoming.inFilePart = part.name == "file" && !incoming.haveFile;
            if (!incoming.inFilePart)
                return true;
            incoming.haveFile = true;
            incoming.fileName = part.filename;
            incoming.path = store_.newTemporaryFile();
            incoming.fd =
                ::open(incoming.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            incoming.writeFailed = incoming.fd < 0;
            return !incoming.writeFailed;
        },
        [&](const char* data, size_t size) {
            if (!incoming.inFilePart)
                return true;
            incoming.size += static_cast<int64_t>(size);
            if (incoming.size > options_.maxUploadBytes) {
                incoming.tooLarge = true;
                return false;
            }
            while (size > 0) {
                const ssize_t n = ::write(incoming.fd, data, size);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    incoming.writeFailed = true;
                    return false;
                }
                data += n;
                size -= static_cast<size_t>(n);
            }
            return true;
        });
    if (incoming.tooLarge)
        return refuse(413, "File is larger than this server accepts (" +
                               html::humanSize(options_.maxUploadBytes) + ")");
    if (incoming.writeFailed)
        return refuse(507, "The server couldn't store the file");
    if (!read)
        return refuse(400, "The upload body was malformed or incomplete");
    if (!incoming.haveFile)
        return refuse(400, "Expected a part named \"file\"");
    if (::fsync(incoming.fd) != 0 || ::close(incoming.fd) != 0) {
        incoming.fd = -1;
        return refuse(507, "The server couldn't store the file");
    }
    incoming.fd = -1;

    Upload stored;
    stored.id = randomId(10);
    stored.userId = user->id;
    stored.name = sanitizeName(incoming.fileName);
    stored.mime = mimeFor(stored.name);
    stored.size = incoming.size;
    stored.created = now();
    const std::string secret = randomHex(24);
    std::string error;
    if (!store_.commitUpload(stored, incoming.path, secret, error))
        return fail(response, 500, error);
    incoming.path.clear(); // committed: it is no longer ours to remove

    answerUpload(response, stored, secret);
}

void MediaServer::answerUpload(Response& response, const Upload& stored,
                               const std::string& secret) const {
    json(response,
         {{QStringLiteral("id"), q(stored.id)},
          {QStringLiteral("url"), q(link("/u/" + stored.id))},
          {QStringLiteral("raw_url"), q(rawLink(stored))},
          {QStringLiteral("thumbnail_url"), q(link("/t/" + stored.id + ".png"))},
          {QStringLiteral("deletion_url"), q(link("/delete/" + stored.id + "/" + secret))},
          {QStringLiteral("name"), q(stored.name)},
          {QStringLiteral("size"), static_cast<qint64>(stored.size)}});
}

void MediaServer::replay(const Request& request, Response& response,
                         const httplib::ContentReader& reader) {
    const InFlight counted(uploadsInFlight_);
    auto refuse = [&](int status, const std::string& message) {
        refuseBody(response, status, message);
    };
    const auto user =
        admitBody(request, response, "Replay",
                  "Expected a multipart/form-data body with \"seconds\" and \"file\" parts");
    if (!user)
        return;

    // Every "file" part to a file of its own; the "seconds" field kept as text.
    std::vector<std::unique_ptr<IncomingFile>> parts;
    std::string secondsText;
    bool inSeconds = false;
    int64_t total = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    const bool read = reader(
        [&](const httplib::MultipartFormData& part) {
            inSeconds = part.name == "seconds";
            if (part.name != "file" || parts.size() >= 16)
                return part.name != "file"; // more than 16 segments is no replay
            auto incoming = std::make_unique<IncomingFile>();
            incoming->inFilePart = true;
            incoming->path = store_.newTemporaryFile();
            incoming->fd =
                ::open(incoming->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            writeFailed = incoming->fd < 0;
            parts.push_back(std::move(incoming));
            return !writeFailed;
        },
        [&](const char* data, size_t size) {
            if (inSeconds) {
                secondsText.append(data, std::min<size_t>(size, 16));
                return secondsText.size() <= 16;
            }
            if (parts.empty() || !parts.back()->inFilePart)
                return true;
            total += static_cast<int64_t>(size);
            if (total > options_.maxUploadBytes) {
                tooLarge = true;
                return false;
            }
            while (size > 0) {
                const ssize_t n = ::write(parts.back()->fd, data, size);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    writeFailed = true;
                    return false;
                }
                data += n;
                size -= static_cast<size_t>(n);
            }
            return true;
        });
    if (tooLarge)
        return refuse(413, "Replay is larger than this server accepts (" +
                               html::humanSize(options_.maxUploadBytes) + ")");
    if (writeFailed)
        return refuse(507, "The server couldn't store the replay");
    if (!read)
        return refuse(400, "The replay body was malformed or incomplete");
    char* end = nullptr;
    const double seconds = std::strtod(secondsText.c_str(), &end);
    if (secondsText.empty() || *end != '\0' || !(seconds > 0) || seconds > 3600)
        return refuse(400, "Expected \"seconds\" between 1 and 3600");
    std::vector<fs::path> files;
    for (auto& part : parts) {
        ::close(std::exchange(part->fd, -1));
        files.push_back(part->path);
    }

    IncomingFile joined; // removed again unless committed
    joined.path = store_.newTemporaryFile();
    std::string error;
    if (!joinSegments(files, seconds, joined.path, error))
        return fail(response, 400, error);
    std::error_code ec;
    Upload stored;
    stored.id = randomId(10);
    stored.userId = user->id;
    stored.name = "Replay_" + stored.id + ".mp4";
    stored.mime = "video/mp4";
    stored.size = static_cast<int64_t>(fs::file_size(joined.path, ec));
    stored.created = now();
    const std::string secret = randomHex(24);
    if (!store_.commitUpload(stored, joined.path, secret, error))
        return fail(response, 500, error);
    joined.path.clear();
    answerUpload(response, stored, secret);
}

void MediaServer::me(const Request& request, Response& response) {
    const auto user = bearer(request);
    if (!user)
        return fail(response, 401, "Invalid or missing upload token");
    json(response, {{QStringLiteral("username"), q(user->name)},
                    {QStringLiteral("server"),
                     QJsonObject{{QStringLiteral("dashboard_url"), q(link("/dashboard/"))}}}});
}

void MediaServer::nowPlaying(const Request& request, Response& response) {
    const auto user = bearer(request);
    if (!user)
        return fail(response, 401, "Invalid or missing upload token");
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(request.body));
    const QJsonObject body = document.object();
    if (!document.isObject() || !body.value(QStringLiteral("playing")).isBool())
        return fail(response, 400, "Expected {\"playing\": true|false, ...}");
    NowPlaying state;
    state.playing = body.value(QStringLiteral("playing")).toBool();
    if (state.playing) {
        for (auto [key, field] :
             {std::pair{"title", &state.title}, std::pair{"artist", &state.artist},
              std::pair{"album", &state.album}, std::pair{"source", &state.source}}) {
            const QJsonValue value = body.value(QLatin1StringView(key));
            if (!value.isString() && !value.isUndefined())
                return fail(response, 400, std::string("\"") + key + "\" must be a string");
            *field = value.toString().left(500).toStdString();
        }
    }
    store_.setNowPlaying(user->id, state);
    json(response, {{QStringLiteral("ok"), true}});
}

namespace {
// The version of "Shotlark-1.2.3-linux.zip"; empty for other names.
std::string releaseVersion(const std::string& file) {
    const std::string prefix = "Shotlark-", suffix = "-linux.zip";
    if (file.size() <= prefix.size() + suffix.size() || !startsWith(file, prefix.c_str()) ||
        file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::string();
    return file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
}

std::vector<long long> versionParts(const std::string& version) {
    std::vector<long long> parts;
    size_t at = 0;
    while (at <= version.size()) {
        size_t dot = version.find('.', at);
        if (dot == std::string::npos)
            dot = version.size();
        if (dot > at) {
            char* end = nullptr;
            const std::string piece = version.substr(at, dot - at);
            const long long value = std::strtoll(piece.c_str(), &end, 10);
            parts.push_back(
                end && *end == '\0' && !std::isspace(static_cast<unsigned char>(piece[0])) ? value
                                                                                           : 0);
        }
        at = dot + 1;
    }
    return parts;
}

bool newer(const std::string& a, const std::string& b) {
    auto pa = versionParts(a), pb = versionParts(b);
    const size_t n = std::max(pa.size(), pb.size());
    pa.resize(n, 0);
    pb.resize(n, 0);
    return pa > pb;
}
} // namespace

void MediaServer::versions(Response& response) {
    std::string best, bestFile;
    std::error_code ec;
    if (options_.releasesDir) {
        for (const auto& entry : fs::directory_iterator(*options_.releasesDir, ec)) {
            const std::string file = entry.path().filename().string();
            const std::string version = releaseVersion(file);
            if (!version.empty() && entry.is_regular_file(ec) &&
                (best.empty() || newer(version, best))) {
                best = version;
                bestFile = file;
            }
        }
    }
    if (best.empty())
        return json(response, QJsonObject());
    json(response, {{QStringLiteral("linux"),
                     QJsonObject{{QStringLiteral("version"), q(best)},
                                 {QStringLiteral("url"), q(link("/releases/" + bestFile))}}}});
}

namespace {

struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0; // inclusive
};

enum class RangeAnswer { Whole, Partial, Unsatisfiable };

bool parseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return true;
}

// The one byte range of a "Range" header, as browsers and video players send it ("bytes=0-",
// "bytes=500-999", "bytes=-500"). Several ranges, or anything malformed, get the whole file:
// answering many ranges would let one request multiply the bytes sent.
RangeAnswer byteRange(const Request& request, uint64_t size, ByteRange& range) {
    if (!request.has_header("Range") || request.has_header("If-Range"))
        return RangeAnswer::Whole;
    std::string spec = request.get_header_value("Range");
    if (spec.size() < 6 || strncasecmp(spec.c_str(), "bytes=", 6) != 0)
        return RangeAnswer::Whole;
    spec.erase(0, 6);
    spec.erase(std::remove(spec.begin(), spec.end(), ' '), spec.end());
    const size_t dash = spec.find('-');
    if (dash == std::string::npos || spec.find(',') != std::string::npos)
        return RangeAnswer::Whole;
    const std::string from = spec.substr(0, dash);
    const std::string to = spec.substr(dash + 1);
    uint64_t first = 0;
    uint64_t last = 0;
    if (from.empty()) { // the last N bytes
        if (!parseNumber(to, last))
            return RangeAnswer::Whole;
        if (last == 0 || size == 0)
            return RangeAnswer::Unsatisfiable;
        range = {size - std::min(last, size), size - 1};
        return RangeAnswer::Partial;
    }
    if (!parseNumber(from, first) || (!to.empty() && (!parseNumber(to, last) || last < first)))
        return RangeAnswer::Whole;
    if (first >= size)
        return RangeAnswer::Unsatisfiable;
    range = {first, to.empty() ? size - 1 : std::min(last, size - 1)};
    return RangeAnswer::Partial;
}

// Streams a file from disk, whole or one byte range of it.
void serveFile(const Request& request, Response& response, const fs::path& path,
               const std::string& mime) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        return fail(response, 404, "The file is gone");
    }
    auto file = std::shared_ptr<int>(new int(fd), [](int* owned) {
        ::close(*owned);
        delete owned;
    });
    const auto size = static_cast<uint64_t>(info.st_size);
    response.set_header("Accept-Ranges", "bytes");
    ByteRange range{0, size == 0 ? 0 : size - 1};
    switch (byteRange(request, size, range)) {
    case RangeAnswer::Unsatisfiable:
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return fail(response, 416, statusText(416));
    case RangeAnswer::Partial:
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                 std::to_string(range.last) + "/" +
                                                 std::to_string(size));
        break;
    case RangeAnswer::Whole:
        response.status = 200;
        if (size == 0)
            return response.set_content("", mime); // "Content-Length: 0", no provider
        break;
    }
    const uint64_t start = range.first;
    response.set_content_provider(
        static_cast<size_t>(range.last - range.first + 1), mime,
        [file, start](size_t offset, size_t length, httplib::DataSink& sink) {
            char buffer[64 * 1024];
            const ssize_t got = ::pread(*file, buffer, std::min(length, sizeof buffer),
                                        static_cast<off_t>(start + offset));
            return got > 0 && sink.write(buffer, static_cast<size_t>(got));
        });
}

} // namespace

void MediaServer::deletion(const Request& request, Response& response) {
    if (!store_.deleteWithSecret(request.matches[1], request.matches[2]))
        return fail(response, 404, "No such upload");
    json(response, {{QStringLiteral("deleted"), true}});
}

void MediaServer::page(const Request& request, Response& response) {
    const auto found = store_.upload(request.matches[1]);
    if (!found)
        return fail(response, 404, "No such upload");
    const std::string raw = html::escape(rawLink(*found));
    std::string body = "<div class=\"card\"><h2>" + html::escape(found->name) + "</h2>";
    if (startsWith(found->mime, "image/") && found->mime != "image/svg+xml") {
        body += "<p><a href=\"" + raw + "\"><img class=\"media\" src=\"" + raw + "\" alt=\"" +
                html::escape(found->name) + "\"></a></p>";
    } else if (startsWith(found->mime, "video/")) {
        body += "<p><video class=\"media\" controls preload=\"metadata\" src=\"" + raw +
                "\"></video></p>";
    } else if (startsWith(found->mime, "text/") && found->size <= 256 * 1024) {
        std::ifstream in(store_.fileOf(found->id), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        body += "<pre>" + html::escape(text) + "</pre>";
    }
    body += "<p>" + html::humanSize(found->size) + " · <a href=\"" + raw + "\">Direct link</a></p>";
    body += "<p><code>" + raw + "</code></p></div>";
    htmlPage(response, found->name, body);
}

void MediaServer::raw(const Request& request, Response& response) {
    const auto found = store_.upload(request.matches[1]);
    if (!found)
        return fail(response, 404, "No such upload");
    // Uploaded bytes never run as this site's pages: only passive types inline, all sandboxed.
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Content-Security-Policy", "sandbox");
    if (!safeInline(found->mime))
        response.set_header("Content-Disposition",
                            "attachment; filename*=UTF-8''" + html::percentEncode(found->name));
    serveFile(request, response, store_.fileOf(found->id),
              found->mime == "text/plain" ? "text/plain; charset=utf-8" : found->mime);
}

void MediaServer::thumbnail(const Request& request, Response& response) {
    const auto found = store_.upload(request.matches[1]);
    if (!found)
        return fail(response, 404, "No such upload");
    response.set_header("Cache-Control", "public, max-age=86400");
    const fs::path cached = store_.thumbnailOf(found->id);
    std::error_code ec;
    if (fs::exists(cached, ec))
        return serveFile(request, response, cached, "image/png");
    if (startsWith(found->mime, "image/") || startsWith(found->mime, "video/")) {
        const std::string png = startsWith(found->mime, "video/")
                                    ? videoFramePng(store_.fileOf(found->id))
                                    : scaledImagePng(store_.fileOf(found->id));
        if (!png.empty()) {
            // Cached only when written whole (a full disk must not leave a cut picture).
            const fs::path temporary = store_.newTemporaryFile();
            if (writeWhole(temporary, png)) {
                fs::rename(temporary, cached, ec);
                // Deleted meanwhile: the deletion may have looked for the thumbnail before it
                // existed. Rows go before files, so looking again after the rename is enough.
                if (!ec && !store_.upload(found->id))
                    fs::remove(cached, ec);
            }
            fs::remove(temporary, ec);
            return response.set_content(png, "image/png");
        }
    }
    response.set_content(placeholderPng(), "image/png");
}

void MediaServer::userPage(const Request& request, Response& response) {
    const auto user = store_.userByName(request.matches[1]);
    if (!user)
        return fail(response, 404, "No such user");
    std::string body = "<div class=\"card\"><h2>" + html::escape(user->name) + "</h2>";
    const auto playing = store_.nowPlaying(user->id);
    if (playing && playing->playing) {
        body += "<p>Now playing: <strong>" + html::escape(playing->title) + "</strong>";
        if (!playing->artist.empty())
            body += " by " + html::escape(playing->artist);
        if (!playing->album.empty())
            body += " (" + html::escape(playing->album) + ")";
        if (!playing->source.empty())
            body += " · " + html::escape(playing->source);
        body += "</p>";
    } else {
        body += "<p>Not playing anything right now.</p>";
    }
    body += "</div>";
    htmlPage(response, user->name, body);
}

std::optional<std::pair<User, MediaServer::Session>> MediaServer::session(const Request& request) {
    const std::string id = cookie(request, sessionCookie);
    if (id.empty())
        return std::nullopt;
    Session found;
    {
        std::lock_guard lock(sessionsMutex_);
        const auto it = sessions_.find(sha256Hex(id));
        if (it == sessions_.end())
            return std::nullopt;
        if (it->second.expires < now()) {
            sessions_.erase(it);
            return std::nullopt;
        }
        found = it->second;
    }
    // A revoked token ends its sessions too.
    const auto user = store_.userForToken(found.token);
    if (!user || user->id != found.userId)
        return std::nullopt;
    return std::pair{*user, found};
}

namespace {
std::string signInForm(const std::string& message) {
    std::string body = "<div class=\"card\"><h2>Sign in</h2>";
    if (!message.empty())
        body += "<p class=\"error\">" + html::escape(message) + "</p>";
    body += R"(<form method="post" action="/dashboard/login"><p><label>Upload token<br>
<input name="token" type="password" autocomplete="current-password" required></label></p>
<p><button type="submit">Sign in</button></p></form></div>)";
    return body;
}

std::string navigation(const std::string& csrf) {
    return "<p><a class=\"button\" href=\"/dashboard/\">Uploads</a> <a class=\"button\" "
           "href=\"/dashboard/setup/\">"
           "Setup</a> <form style=\"display:inline\" method=\"post\" action=\"/dashboard/logout\">"
           "<input type=\"hidden\" name=\"csrf\" value=\"" +
           html::escape(csrf) + "\"><button type=\"submit\">Sign out</button></form></p>";
}
} // namespace

void MediaServer::dashboard(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn)
        return htmlPage(response, "Sign in", signInForm(""));
    const auto& [user, state] = *signedIn;
    std::string body =
        "<h2>Uploads of " + html::escape(user.name) + "</h2>" + navigation(state.csrf);
    const auto uploads = store_.uploadsOf(user.id);
    body += "<div class=\"card\">";
    if (uploads.empty()) {
        body += "<p>Nothing uploaded yet.</p>";
    } else {
        body += "<table><tr><th></th><th>Name</th><th>Size</th><th></th></tr>";
        for (const Upload& upload : uploads) {
            const std::string id = html::escape(upload.id);
            body += "<tr><td><img class=\"thumb\" loading=\"lazy\" src=\"/t/" + id +
                    ".png\" alt=\"\"></td>"
                    "<td><a href=\"/u/" +
                    id + "\">" + html::escape(upload.name) + "</a></td><td>" +
                    html::humanSize(upload.size) +
                    "</td><td><form method=\"post\" action=\"/dashboard/delete\">"
                    "<input type=\"hidden\" name=\"id\" value=\"" +
                    id + "\"><input type=\"hidden\" name=\"csrf\" value=\"" +
                    html::escape(state.csrf) +
                    "\"><button class=\"danger\" type=\"submit\">Delete</button></form></td></tr>";
        }
        body += "</table>";
    }
    body += "</div>";
    htmlPage(response, "Uploads", body);
}

bool MediaServer::isSameOrigin(const Request& request) const {
    // Origin, or the origin of the Referer where a browser sends no Origin.
    std::string origin = request.get_header_value("Origin");
    if (origin.empty()) {
        const std::string referer = request.get_header_value("Referer");
        const size_t scheme = referer.find("://");
        if (scheme == std::string::npos)
            return false;
        origin = referer.substr(0, referer.find('/', scheme + 3));
    }
    std::string own = options_.publicUrl;
    if (const size_t scheme = own.find("://"); scheme != std::string::npos)
        own = own.substr(0, own.find('/', scheme + 3));
    const std::string host = request.get_header_value("Host");
    return origin == own ||
           (!host.empty() && (origin == "http://" + host || origin == "https://" + host));
}

void MediaServer::login(const Request& request, Response& response) {
    // A page elsewhere must not sign the visitor's browser in to someone else's account.
    if (!isSameOrigin(request))
        return htmlPage(response, "Sign in", signInForm("Sign in from this server's own page."),
                        403);
    const std::string token = request.get_param_value("token");
    const auto user = token.empty() ? std::nullopt : store_.userForToken(token);
    if (!user)
        return htmlPage(response, "Sign in", signInForm("That token is not valid."), 401);
    const std::string id = randomHex(32);
    {
        std::lock_guard lock(sessionsMutex_);
        for (auto it = sessions_.begin(); it != sessions_.end();)
            it = it->second.expires < now() ? sessions_.erase(it) : std::next(it);
        sessions_[sha256Hex(id)] = Session{user->id, token, randomHex(16), now() + sessionSeconds};
    }
    const bool secure = startsWith(options_.publicUrl, "https://");
    response.set_header("Set-Cookie", std::string(sessionCookie) + "=" + id +
                                          "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                          std::to_string(sessionSeconds) +
                                          (secure ? "; Secure" : ""));
    redirect(response, "/dashboard/");
}

void MediaServer::logout(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (signedIn && constantTimeEquals(request.get_param_value("csrf"), signedIn->second.csrf)) {
        std::lock_guard lock(sessionsMutex_);
        sessions_.erase(sha256Hex(cookie(request, sessionCookie)));
    }
    response.set_header("Set-Cookie", std::string(sessionCookie) +
                                          "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    redirect(response, "/dashboard/");
}

void MediaServer::dashboardDelete(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn)
        return fail(response, 401, "Sign in first");
    if (!constantTimeEquals(request.get_param_value("csrf"), signedIn->second.csrf))
        return fail(response, 403, "This form has expired; reload the page");
    if (!store_.deleteOwned(request.get_param_value("id"), signedIn->first.id))
        return fail(response, 404, "No such upload");
    redirect(response, "/dashboard/");
}

void MediaServer::setup(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn)
        return htmlPage(response, "Sign in", signInForm(""));
    const auto& [user, state] = *signedIn;
    const std::string configure =
        "shotlark://configure?server=" + html::percentEncode(options_.publicUrl) +
        "&token=" + html::percentEncode(state.token);
    std::string body = "<h2>Set up the app</h2>" + navigation(state.csrf) + "<div class=\"card\">";
    body += "<p>Server address<br><code>" + html::escape(options_.publicUrl) + "</code></p>";
    body += "<p>Upload token<br><code>" + html::escape(state.token) + "</code></p>";
    body += "<p><a class=\"button\" href=\"" + html::escape(configure) + "\">Connect app</a></p>";
    body += "<p>The button opens Shotlark and asks you to confirm the connection.</p></div>";
    htmlPage(response, "Setup", body);
}

void MediaServer::editor(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn)
        return htmlPage(response, "Sign in", signInForm(""));
    const auto found = store_.upload(request.get_param_value("id"));
    if (!found || found->userId != signedIn->first.id)
        return fail(response, 404, "No such upload");
    std::string body =
        "<h2>Edit " + html::escape(found->name) + "</h2>" + navigation(signedIn->second.csrf);
    body += "<div class=\"card\"><p>Drawing on uploads comes in a later version of this server. "
            "Until then, here is the upload as it is.</p>";
    if (startsWith(found->mime, "image/") && found->mime != "image/svg+xml")
        body +=
            "<p><img class=\"media\" src=\"" + html::escape(rawLink(*found)) + "\" alt=\"\"></p>";
    body +=
        "<p><a href=\"/u/" + html::escape(found->id) + "\">Open the upload's page</a></p></div>";
    htmlPage(response, "Edit " + found->name, body);
}

void MediaServer::release(const Request& request, Response& response) {
    if (!options_.releasesDir || releaseVersion(request.matches[1]).empty())
        return fail(response, 404, "No such release");
    serveFile(request, response, *options_.releasesDir / std::string(request.matches[1]),
              "application/zip");
}

} // namespace slkserver
