// Bodies the app sends: single uploads, and replays whose segments are joined into one clip.
#include "MediaServer.h"

#include "Crypto.h"
#include "ReplayJoin.h"
#include "WebHelpers.h"

#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <strings.h>
#include <sys/stat.h>

namespace slkserver {

using namespace web;

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

namespace {

// An upload's body: the first part named "file" to a temporary file, other parts ignored.
class UploadSink : public http::BodySink {
public:
    UploadSink(Store& store, int64_t largest) : store_(store), largest_(largest) {}

    bool part(const http::FormPart& part) override {
        incoming->inFilePart = part.name == "file" && !incoming->haveFile;
        if (!incoming->inFilePart)
            return true;
        incoming->haveFile = true;
        incoming->fileName = part.filename;
        incoming->path = store_.newTemporaryFile();
        incoming->fd =
            ::open(incoming->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        incoming->writeFailed = incoming->fd < 0;
        return !incoming->writeFailed;
    }

    bool data(const char* bytes, size_t size) override {
        if (!incoming->inFilePart)
            return true;
        incoming->size += static_cast<int64_t>(size);
        if (incoming->size > largest_) {
            incoming->tooLarge = true;
            return false;
        }
        incoming->writeFailed = !incoming->write(bytes, size);
        return !incoming->writeFailed;
    }

    std::shared_ptr<IncomingFile> incoming = std::make_shared<IncomingFile>();

private:
    Store& store_;
    const int64_t largest_;
};

// A replay's body: its segments and its "seconds".
class ReplaySink : public http::BodySink {
public:
    ReplaySink(Store& store, int64_t largest)
        : parts([&store] { return store.newTemporaryFile(); }, largest) {}
    bool part(const http::FormPart& part) override { return parts.begin(part.name); }
    bool data(const char* bytes, size_t size) override { return parts.data(bytes, size); }

    ReplayParts parts;
};

} // namespace

std::unique_ptr<http::BodySink> MediaServer::admitUpload(const Request& request,
                                                         Response& response) {
    const std::string convert = request.get_header_value("X-Convert");
    if (request.has_header("X-Convert") && bearer(request)) {
        if (strcasecmp(convert.c_str(), "gif") != 0) {
            refuseBody(response, 400, "This server can't convert uploads to \"" + convert + "\"");
            return nullptr;
        }
        if (!offers("app_gif")) {
            refuseBody(response, 400, "GIF recording is switched off on this server");
            return nullptr;
        }
    }
    if (!admitBody(request, response, "File",
                   "Expected a multipart/form-data body with a part named \"file\""))
        return nullptr;
    return std::make_unique<UploadSink>(store_, options_.maxUploadBytes);
}

void MediaServer::upload(const Request& request, Response& response, http::BodySink& body,
                         bool complete) {
    auto& sink = static_cast<UploadSink&>(body);
    auto incoming = sink.incoming;
    auto refuse = [&](int status, const std::string& message) {
        refuseBody(response, status, message);
    };
    // Asked again: the token may have been revoked while the file arrived.
    const auto user = bearer(request);
    if (!user)
        return refuse(401, "Invalid or missing upload token");
    const bool toGif = request.has_header("X-Convert");
    if (incoming->tooLarge)
        return refuse(413, "File is larger than this server accepts (" +
                               html::humanSize(options_.maxUploadBytes) + ")");
    if (incoming->writeFailed)
        return refuse(507, "The server couldn't store the file");
    if (!complete)
        return refuse(400, "The upload body was malformed or incomplete");
    if (!incoming->haveFile)
        return refuse(400, "Expected a part named \"file\"");
    if (::fsync(incoming->fd) != 0 || ::close(incoming->fd) != 0) {
        incoming->fd = -1;
        return refuse(507, "The server couldn't store the file");
    }
    incoming->fd = -1;

    auto stored = std::make_shared<Upload>();
    stored->id = randomId(10);
    stored->userId = user->id;
    stored->name = sanitizeName(incoming->fileName);
    stored->mime = mimeFor(stored->name);
    stored->size = incoming->size;
    stored->created = now();
    if (!toGif)
        return commit(response, *stored, *incoming);

    // The conversion runs on its own threads; this one goes back to answering requests.
    // The movie is the job's alone, and goes before the answer does: a client that has its answer
    // finds nothing of its upload left in the temporary folder.
    response.later = [this, incoming, stored](Response& answer,
                                              std::function<void()> finished) mutable {
        auto job = [this, incoming = std::move(incoming), stored, &answer, finished]() mutable {
            {
                IncomingFile converted; // the GIF, removed again unless committed
                converted.path = store_.newTemporaryFile();
                const GifFailure failure =
                    convertToGif(incoming->path, converted.path, options_.gif);
                if (failure) {
                    fail(answer, failure.status, failure.message);
                } else {
                    std::error_code ec;
                    stored->name = fs::path(stored->name).replace_extension(".gif").string();
                    stored->mime = "image/gif";
                    stored->size = static_cast<int64_t>(fs::file_size(converted.path, ec));
                    commit(answer, *stored, converted);
                }
            }
            incoming.reset();
            finished();
        };
        if (!conversions_->submit(std::move(job))) {
            fail(answer, 503,
                 "The server is busy converting other recordings; try again in a minute");
            finished();
        }
    };
}

void MediaServer::commit(Response& response, Upload& stored, IncomingFile& kept) {
    const std::string secret = randomHex(24);
    std::string error;
    if (!store_.commitUpload(stored, kept.path, secret, error))
        return fail(response, 500, error);
    kept.path.clear(); // committed: it is no longer ours to remove
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

std::unique_ptr<http::BodySink> MediaServer::admitReplay(const Request& request,
                                                         Response& response) {
    if (!admitBody(request, response, "Replay",
                   "Expected a multipart/form-data body with \"seconds\" and \"file\" parts"))
        return nullptr;
    return std::make_unique<ReplaySink>(store_, options_.maxUploadBytes);
}

void MediaServer::replay(const Request& request, Response& response, http::BodySink& sink,
                         bool complete) {
    auto refuse = [&](int status, const std::string& message) {
        refuseBody(response, status, message);
    };
    const auto user = bearer(request);
    if (!user)
        return refuse(401, "Invalid or missing upload token");
    ReplayParts& body = static_cast<ReplaySink&>(sink).parts;
    if (body.tooLarge)
        return refuse(413, "Replay is larger than this server accepts (" +
                               html::humanSize(options_.maxUploadBytes) + ")");
    if (body.writeFailed)
        return refuse(507, "The server couldn't store the replay");
    if (!complete)
        return refuse(400, "The replay body was malformed or incomplete");
    const std::string& secondsText = body.seconds;
    char* end = nullptr;
    const double seconds = std::strtod(secondsText.c_str(), &end);
    if (secondsText.empty() || *end != '\0' || !(seconds > 0) || seconds > 3600)
        return refuse(400, "Expected \"seconds\" between 1 and 3600");
    std::vector<fs::path> files;
    for (auto& part : body.files) {
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

} // namespace slkserver
