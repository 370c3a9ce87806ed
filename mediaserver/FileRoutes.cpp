// What the links serve: pages, direct files (one byte range at most), thumbnails, and deletion
// links.
#include "MediaServer.h"

#include "Thumbnails.h"
#include "WebHelpers.h"

#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <strings.h>
#include <sys/stat.h>

namespace slkserver {

using namespace web;

namespace {

// Sets the status and headers for the asked range of `size` bytes; false when the answer is
// complete already (nothing to send, or a range that can't be met).
bool answerRange(const Request& request, Response& response, uint64_t size, const std::string& mime,
                 http::ByteRange& range) {
    response.set_header("Accept-Ranges", "bytes");
    range = http::ByteRange{0, size == 0 ? 0 : size - 1};
    // "If-Range" would ask us to compare validators we don't send: the whole file then.
    const std::string asked =
        request.has_header("If-Range") ? std::string() : request.get_header_value("Range");
    switch (http::byteRange(asked, size, range)) {
    case http::RangeAnswer::Unsatisfiable:
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        fail(response, 416, statusText(416));
        return false;
    case http::RangeAnswer::Partial:
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                 std::to_string(range.last) + "/" +
                                                 std::to_string(size));
        return true;
    case http::RangeAnswer::Whole:
        response.status = 200;
        if (size == 0) {
            response.set_content("", mime); // "Content-Length: 0", no provider
            return false;
        }
        return true;
    }
    return true;
}

} // namespace

void web::serveFile(const Request& request, Response& response, const fs::path& path,
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
    http::ByteRange range;
    if (!answerRange(request, response, static_cast<uint64_t>(info.st_size), mime, range))
        return;
    const uint64_t start = range.first;
    response.set_content_provider(
        static_cast<size_t>(range.last - range.first + 1), mime,
        [file, start](size_t offset, size_t length, http::DataSink& sink) {
            char buffer[64 * 1024];
            const ssize_t got = ::pread(*file, buffer, std::min(length, sizeof buffer),
                                        static_cast<off_t>(start + offset));
            return got > 0 && sink.write(buffer, static_cast<size_t>(got));
        });
}

void web::serveStored(const Request& request, Response& response, FileStore& files,
                      const std::string& key, uint64_t size, const std::string& mime) {
    if (const auto path = files.localPath(key))
        return serveFile(request, response, *path, mime);
    http::ByteRange range;
    if (!answerRange(request, response, size, mime, range))
        return;
    // Read ahead in pieces of a few MiB: one request to the storage per piece, not per packet.
    struct Window {
        uint64_t start = 0;
        std::string bytes;
    };
    static constexpr uint64_t piece = 4 * 1024 * 1024;
    auto window = std::make_shared<Window>();
    const uint64_t first = range.first, last = range.last;
    response.set_content_provider(
        static_cast<size_t>(last - first + 1), mime,
        [&files, key, first, last, window](size_t offset, size_t length, http::DataSink& sink) {
            const uint64_t at = first + offset;
            if (at < window->start || at >= window->start + window->bytes.size()) {
                window->bytes.clear();
                window->start = at;
                if (!files.read(key, at, static_cast<size_t>(std::min(piece, last - at + 1)),
                                window->bytes) ||
                    window->bytes.empty())
                    return false;
            }
            const size_t from = static_cast<size_t>(at - window->start);
            return sink.write(window->bytes.data() + from,
                              std::min(length, window->bytes.size() - from));
        });
    response.providerBlocks = true;
}

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
        std::string text;
        store_.files().read(Store::fileKey(found->id), 0, static_cast<size_t>(found->size), text);
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
    serveStored(request, response, store_.files(), Store::fileKey(found->id),
                static_cast<uint64_t>(found->size),
                found->mime == "text/plain" ? "text/plain; charset=utf-8" : found->mime);
}

void MediaServer::thumbnail(const Request& request, Response& response) {
    const auto found = store_.upload(request.matches[1]);
    if (!found)
        return fail(response, 404, "No such upload");
    response.set_header("Cache-Control", "public, max-age=86400");
    const std::string key = Store::thumbnailKey(found->id);
    if (const auto cached = store_.files().size(key))
        return serveStored(request, response, store_.files(), key, *cached, "image/png");
    if (!startsWith(found->mime, "image/") && !startsWith(found->mime, "video/"))
        return response.set_content(placeholderPng(), "image/png");
    const bool video = startsWith(found->mime, "video/");
    const std::string png = store_.thumbnail(*found, [video](const fs::path& file) {
        const std::string made = video ? videoFramePng(file) : scaledImagePng(file);
        // A file that gives no picture gets the placeholder, cached too: a hostile file would
        // otherwise be decoded again on every request.
        return made.empty() ? placeholderPng() : made;
    });
    if (png.empty())
        return fail(response, 404, "The file is gone");
    response.set_content(png, "image/png");
}

} // namespace slkserver
