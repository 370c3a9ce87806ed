// What the links serve: pages, direct files (one byte range at most), thumbnails, and deletion
// links.
#include "MediaServer.h"

#include "Thumbnails.h"
#include "WebHelpers.h"

#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <strings.h>
#include <sys/stat.h>

namespace slkserver {

using namespace web;

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
    const auto size = static_cast<uint64_t>(info.st_size);
    response.set_header("Accept-Ranges", "bytes");
    http::ByteRange range{0, size == 0 ? 0 : size - 1};
    // "If-Range" would ask us to compare validators we don't send: the whole file then.
    const std::string asked =
        request.has_header("If-Range") ? std::string() : request.get_header_value("Range");
    switch (http::byteRange(asked, size, range)) {
    case http::RangeAnswer::Unsatisfiable:
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return fail(response, 416, statusText(416));
    case http::RangeAnswer::Partial:
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                 std::to_string(range.last) + "/" +
                                                 std::to_string(size));
        break;
    case http::RangeAnswer::Whole:
        response.status = 200;
        if (size == 0)
            return response.set_content("", mime); // "Content-Length: 0", no provider
        break;
    }
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
    if (!startsWith(found->mime, "image/") && !startsWith(found->mime, "video/"))
        return response.set_content(placeholderPng(), "image/png");
    std::string png = startsWith(found->mime, "video/") ? videoFramePng(store_.fileOf(found->id))
                                                        : scaledImagePng(store_.fileOf(found->id));
    // A file that gives no picture gets the placeholder, cached too: a hostile file would
    // otherwise be decoded again on every request.
    if (png.empty())
        png = placeholderPng();
    // Cached only when written whole (a full disk must not leave a cut picture).
    const fs::path temporary = store_.newTemporaryFile();
    if (writeWhole(temporary, png)) {
        fs::rename(temporary, cached, ec);
        // Deleted meanwhile: the deletion may have looked for the thumbnail before it existed.
        // Rows go before files, so looking again after the rename is enough.
        if (!ec && !store_.upload(found->id))
            fs::remove(cached, ec);
    }
    fs::remove(temporary, ec);
    response.set_content(png, "image/png");
}

} // namespace slkserver
