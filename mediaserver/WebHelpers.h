#pragma once

// What the server's routes share: answers as JSON or pages, names and types of uploads, and the
// file a streamed body goes to.
#include "IncomingFile.h"
#include "Pages.h"
#include "Store.h"

#include "Http.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QString>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace slkserver::web {

namespace fs = std::filesystem;
using http::Request;
using http::Response;

inline constexpr int64_t sessionSeconds = 12 * 3600;
// How long a one-time sign-in link the app asked for may wait to be followed.
inline constexpr int64_t signInLinkSeconds = 60;

// `next` when it is a path of this server ("/dashboard/…"), the dashboard otherwise: never
// another site ("//host", "/\\host"), a scheme, or bytes a header can't carry.
inline std::string ownPath(const std::string& next) {
    const bool own = !next.empty() && next[0] == '/' &&
                     (next.size() == 1 || (next[1] != '/' && next[1] != '\\')) &&
                     std::all_of(next.begin(), next.end(),
                                 [](unsigned char c) { return c > 0x20 && c < 0x7f && c != '\\'; });
    return own ? next : "/dashboard/";
}
inline constexpr const char* sessionCookie = "slk_session";

inline int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline QString q(const std::string& text) {
    return QString::fromStdString(text);
}

inline void json(Response& response, const QJsonObject& object, int status = 200) {
    response.status = status;
    response.set_content(QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(),
                         "application/json");
}

inline void fail(Response& response, int status, const std::string& message) {
    json(response, {{QStringLiteral("error"), q(message)}}, status);
}

inline void htmlPage(Response& response, const std::string& title, const std::string& body,
                     int status = 200) {
    response.status = status;
    response.set_header(
        "Content-Security-Policy",
        "default-src 'self'; style-src 'unsafe-inline'; media-src 'self'; img-src 'self'");
    response.set_header("X-Frame-Options", "DENY");
    response.set_content(html::document(title, body), "text/html; charset=utf-8");
}

inline void redirect(Response& response, const std::string& to) {
    response.status = 303;
    response.set_header("Location", to);
}

// A file name fit to store and show: no directories, no leading dots, no control characters.
inline std::string sanitizeName(std::string name) {
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

inline std::string mimeFor(const std::string& name) {
    static const QMimeDatabase database;
    const QMimeType type = database.mimeTypeForFile(q(name), QMimeDatabase::MatchExtension);
    return type.isValid() ? type.name().toStdString() : "application/octet-stream";
}

inline std::string statusText(int status) {
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

inline bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Types a browser shows inline without running anything of the uploader's.
inline bool safeInline(const std::string& mime) {
    return (startsWith(mime, "image/") && mime != "image/svg+xml") || startsWith(mime, "video/") ||
           startsWith(mime, "audio/") || mime == "text/plain" || mime == "application/pdf";
}

inline std::string cookie(const Request& request, const std::string& name) {
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

// Pictures the web editor can draw on.
inline bool isEditable(const Upload& upload) {
    return upload.mime == "image/png" || upload.mime == "image/jpeg" ||
           upload.mime == "image/webp" || upload.mime == "image/gif";
}

// Answers that leave the body unread must end the connection, or its rest would be taken for
// the next request.
inline void refuseBody(Response& response, int status, const std::string& message) {
    response.set_header("Connection", "close");
    fail(response, status, message);
}

// Streams a file from disk, whole or one byte range of it (FileRoutes.cpp).
void serveFile(const Request& request, Response& response, const fs::path& path,
               const std::string& mime);
// Likewise for an object of `files` of `size` bytes: from its descriptor where it is a local
// file, else by ranged reads on a worker thread.
void serveStored(const Request& request, Response& response, FileStore& files,
                 const std::string& key, uint64_t size, const std::string& mime);

} // namespace slkserver::web
