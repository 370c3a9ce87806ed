#include "MediaServer.h"

#include "Crypto.h"
#include "Pages.h"
#include "ReplayJoin.h"
#include "Thumbnails.h"
#include "WebHelpers.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QString>
#include <QUrl>

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
using http::Request;
using http::Response;

using namespace web;

const std::vector<std::string>& allFeatures() {
    static const std::vector<std::string> names = {"annotate",     "app_gif",     "app_ocr",
                                                   "app_presence", "auto_update", "replay_buffer",
                                                   "sign_in_links"};
    return names;
}

MediaServer::MediaServer(Options options, Store& store)
    : options_(std::move(options)), store_(store),
      http_(std::make_unique<http::Server>(options_.clientLimits, options_.threads)) {
    // A conversion keeps a processor busy; one waiting per worker is as long a queue as a
    // client's patience allows.
    const int workers = options_.gifWorkers > 0
                            ? options_.gifWorkers
                            : std::max(1, int(std::thread::hardware_concurrency()) / 2);
    conversions_ = std::make_unique<ConversionPool>(workers, workers);
    routes();
}

MediaServer::~MediaServer() = default;

int MediaServer::bind() {
    const int port = http_->bind(options_.host, options_.port);
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
    return http_->run();
}

void MediaServer::stop() {
    http_->stop();
}

void MediaServer::waitForUploads(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (http_->streamedInFlight() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string MediaServer::rawLink(const Upload& upload) const {
    return link("/r/" + upload.id + "/" + html::percentEncode(upload.name));
}

void MediaServer::routes() {
    http_->setErrorPage([](Response& response, int status, const std::string& message) {
        fail(response, status, message.empty() ? statusText(status) : message);
    });
    const auto get = [this](const std::string& pattern, http::Server::Handler handler) {
        http_->route("GET", pattern, std::move(handler));
    };
    const auto post = [this](const std::string& pattern, http::Server::Handler handler) {
        http_->route("POST", pattern, std::move(handler));
    };

    http_->streamedRoute(
        "POST", "/api/upload",
        [this](const Request& rq, Response& rs) { return admitUpload(rq, rs); },
        [this](const Request& rq, Response& rs, http::BodySink& sink, bool complete) {
            upload(rq, rs, sink, complete);
        });
    http_->streamedRoute(
        "POST", "/api/replay",
        [this](const Request& rq, Response& rs) { return admitReplay(rq, rs); },
        [this](const Request& rq, Response& rs, http::BodySink& sink, bool complete) {
            replay(rq, rs, sink, complete);
        });
    get("/api/me", [this](const Request& rq, Response& rs) { me(rq, rs); });
    get("/api/features", [this](const Request&, Response& response) {
        QJsonArray enabled;
        for (const std::string& name : options_.features)
            enabled.append(q(name));
        json(response, {{QStringLiteral("enabled"), enabled}});
    });
    post("/api/me/now-playing", [this](const Request& rq, Response& rs) { nowPlaying(rq, rs); });
    get("/api/setup/versions", [this](const Request&, Response& rs) { versions(rs); });
    get(R"(/delete/([0-9A-Za-z]+)/([0-9a-f]+))",
        [this](const Request& rq, Response& rs) { deletion(rq, rs); });
    get(R"(/u/([0-9A-Za-z]+))", [this](const Request& rq, Response& rs) { page(rq, rs); });
    get(R"(/r/([0-9A-Za-z]+)(/[^/]*)?)", [this](const Request& rq, Response& rs) { raw(rq, rs); });
    get(R"(/t/([0-9A-Za-z]+)\.png)",
        [this](const Request& rq, Response& rs) { thumbnail(rq, rs); });
    get(R"(/@([^/]+))", [this](const Request& rq, Response& rs) { userPage(rq, rs); });
    get("/", [](const Request&, Response& rs) { redirect(rs, "/dashboard/"); });
    get("/dashboard", [](const Request&, Response& rs) { redirect(rs, "/dashboard/"); });
    get("/dashboard/", [this](const Request& rq, Response& rs) { dashboard(rq, rs); });
    post("/dashboard/login", [this](const Request& rq, Response& rs) { login(rq, rs); });
    if (offers("sign_in_links")) {
        post("/api/sign-in-link", [this](const Request& rq, Response& rs) { signInLink(rq, rs); });
        get("/dashboard/once", [this](const Request& rq, Response& rs) { signInOnce(rq, rs); });
    }
    post("/dashboard/logout", [this](const Request& rq, Response& rs) { logout(rq, rs); });
    post("/dashboard/delete", [this](const Request& rq, Response& rs) { dashboardDelete(rq, rs); });
    get("/dashboard/setup/", [this](const Request& rq, Response& rs) { setup(rq, rs); });
    post("/dashboard/setup/shotlark.sxcu",
         [this](const Request& rq, Response& rs) { uploaderFile(rq, rs); });
    get("/dashboard/edit/", [this](const Request& rq, Response& rs) { editor(rq, rs); });
    http_->streamedRoute(
        "POST", "/dashboard/edit/save",
        [this](const Request& rq, Response& rs) { return admitEdit(rq, rs); },
        [this](const Request& rq, Response& rs, http::BodySink& sink, bool complete) {
            editorSave(rq, rs, sink, complete);
        });
    get("/dashboard/editor.js", [](const Request&, Response& response) {
        QFile script(QStringLiteral(":/web/editor.js"));
        script.open(QIODevice::ReadOnly);
        response.set_header("Cache-Control", "no-cache");
        response.set_content(script.readAll().toStdString(), "text/javascript; charset=utf-8");
    });
    get(R"(/releases/([A-Za-z0-9._-]+\.zip))",
        [this](const Request& rq, Response& rs) { release(rq, rs); });
}

std::optional<User> MediaServer::bearer(const Request& request) {
    const std::string header = request.get_header_value("Authorization");
    if (!startsWith(header, "Bearer ") || header.size() <= 7)
        return std::nullopt;
    return store_.userForToken(header.substr(7));
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

void MediaServer::release(const Request& request, Response& response) {
    if (!options_.releasesDir || releaseVersion(request.matches[1]).empty())
        return fail(response, 404, "No such release");
    serveFile(request, response, *options_.releasesDir / std::string(request.matches[1]),
              "application/zip");
}

} // namespace slkserver
