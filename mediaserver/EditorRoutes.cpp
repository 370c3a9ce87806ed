// The web editor: a page to draw on a picture upload, and the route its "Save" posts the
// result to. The drawing happens in the browser (web/editor.js); the server only checks and
// stores the PNG it sends.
#include "Crypto.h"
#include "MediaServer.h"
#include "WebHelpers.h"

#include <QImageReader>
#include <QUrl>

#include <algorithm>
#include <atomic>

namespace slkserver {

using namespace web;

namespace {

constexpr int64_t largestEdit = int64_t(64) * 1024 * 1024;
constexpr int largestEdge = 16384;

// "Shot.png" → "Shot-edited.png"; names that were edited before keep one suffix.
std::string editedName(const std::string& original) {
    std::string stem = fs::path(original).stem().string();
    const std::string suffix = "-edited";
    if (stem.size() > suffix.size() &&
        stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0)
        stem.resize(stem.size() - suffix.size());
    return sanitizeName(stem + suffix + ".png");
}

const char* editorStyle = R"(<style>
.toolbar{display:flex;flex-wrap:wrap;gap:.4em;align-items:center;margin-bottom:.8em}
.toolbar button{background:#e8e8ed;color:#1d1d1f}
.toolbar button[aria-pressed=true]{background:#0a66d8;color:#fff}
.toolbar button:disabled{opacity:.45;cursor:default}
.toolbar label{display:flex;gap:.3em;align-items:center}
.toolbar input{width:auto}.toolbar input[type=range]{width:7em}.toolbar input[type=color]{width:2.6em;height:2.2em;padding:.1em}.toolbar #save{background:#0a66d8;color:#fff;margin-left:auto}
#stage{position:relative;line-height:0}
#canvas{max-width:100%;border-radius:6px;box-shadow:0 0 0 1px #0002;cursor:crosshair;touch-action:none}
#canvas[data-tool=text]{cursor:text}
.text-mark{position:absolute;background:#fff8;border:1px dashed #888;padding:0 .2em;width:16em;line-height:1.2}
#status{min-height:1.5em}
</style>)";

} // namespace

void MediaServer::editor(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn) {
        const QByteArray id =
            QUrl::toPercentEncoding(QString::fromStdString(request.get_param_value("id")));
        return htmlPage(response, "Sign in",
                        html::signInForm("", "/dashboard/edit/?id=" + id.toStdString()));
    }
    if (!offers("annotate"))
        return fail(response, 404, "The editor is switched off on this server");
    const auto found = store_.upload(request.get_param_value("id"));
    if (!found || found->userId != signedIn->first.id)
        return fail(response, 404, "No such upload");
    if (!isEditable(*found))
        return fail(response, 400, "Only pictures (PNG, JPEG, WebP, GIF) can be edited");

    const auto tool = [](const char* name, const char* key, const char* label) {
        return std::string("<button type=\"button\" data-tool=\"") + name + "\" data-key=\"" + key +
               "\" aria-pressed=\"false\" title=\"" + label + " (" +
               static_cast<char>(std::toupper(key[0])) + ")\">" + label + "</button>";
    };
    std::string body = editorStyle;
    body +=
        "<h2>Edit " + html::escape(found->name) + "</h2>" + html::navigation(signedIn->second.csrf);
    body += "<div class=\"card\"><div class=\"toolbar\" role=\"toolbar\">";
    body += tool("rect", "r", "Rectangle") + tool("arrow", "a", "Arrow") + tool("pen", "p", "Pen") +
            tool("text", "t", "Text") + tool("pixelate", "b", "Pixelate");
    body += R"html(<label>Colour <input type="color" id="colour" value="#e53935"></label>
<label>Width <input type="range" id="width" min="1" max="20" value="4"></label>
<button type="button" id="undo" title="Undo (Ctrl+Z)" disabled>Undo</button>
<button type="button" id="redo" title="Redo (Ctrl+Shift+Z)" disabled>Redo</button>
<button type="button" id="save">Save</button></div>)html";
    body += "<div id=\"stage\"><canvas id=\"canvas\" data-src=\"" + html::escape(rawLink(*found)) +
            "\" data-id=\"" + html::escape(found->id) + "\" data-csrf=\"" +
            html::escape(signedIn->second.csrf) + "\"></canvas></div>";
    body += "<p id=\"status\" role=\"status\">Saving keeps the original and adds the result "
            "as a new upload.</p></div>"
            "<script src=\"/dashboard/editor.js\"></script>";
    htmlPage(response, "Edit " + found->name, body);
}

namespace {

// The edited picture, as it arrives, to a temporary file.
class EditSink : public http::BodySink {
public:
    EditSink(Store& store, int64_t largest) : largest_(largest) {
        incoming.path = store.newTemporaryFile();
        incoming.fd = ::open(incoming.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        incoming.writeFailed = incoming.fd < 0;
    }
    bool part(const http::FormPart&) override { return false; } // a PNG, not a form
    bool data(const char* bytes, size_t size) override {
        incoming.size += static_cast<int64_t>(size);
        incoming.tooLarge = incoming.size > largest_;
        incoming.writeFailed =
            incoming.writeFailed || (!incoming.tooLarge && !incoming.write(bytes, size));
        return !incoming.tooLarge && !incoming.writeFailed;
    }

    IncomingFile incoming;

private:
    const int64_t largest_;
};

} // namespace

std::unique_ptr<http::BodySink> MediaServer::admitEdit(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn) {
        refuseBody(response, 401, "Sign in first");
        return nullptr;
    }
    // The token in the page proves the request comes from it; the origin, that the page is ours.
    if (!isSameOrigin(request) ||
        !constantTimeEquals(request.get_header_value("X-CSRF-Token"), signedIn->second.csrf)) {
        refuseBody(response, 403, "This page has expired; reload it");
        return nullptr;
    }
    const auto original = store_.upload(request.get_param_value("id"));
    if (!original || original->userId != signedIn->first.id) {
        refuseBody(response, 404, "No such upload");
        return nullptr;
    }
    if (request.get_header_value("Content-Type") != "image/png" ||
        request.is_multipart_form_data()) {
        refuseBody(response, 400, "Expected the edited picture as image/png");
        return nullptr;
    }
    const int64_t limit = std::min(options_.maxUploadBytes, largestEdit);
    if (std::strtoll(request.get_header_value("Content-Length").c_str(), nullptr, 10) > limit) {
        refuseBody(response, 413, "The edited picture is larger than " + html::humanSize(limit));
        return nullptr;
    }
    return std::make_unique<EditSink>(store_, limit);
}

void MediaServer::editorSave(const Request& request, Response& response, http::BodySink& sink,
                             bool complete) {
    // Asked again: the session may have ended while the picture arrived.
    const auto signedIn = session(request);
    const auto original = store_.upload(request.get_param_value("id"));
    if (!signedIn || !original || original->userId != signedIn->first.id)
        return fail(response, 404, "No such upload");
    const int64_t limit = std::min(options_.maxUploadBytes, largestEdit);
    IncomingFile& incoming = static_cast<EditSink&>(sink).incoming;
    if (incoming.tooLarge)
        return refuseBody(response, 413,
                          "The edited picture is larger than " + html::humanSize(limit));
    if (incoming.writeFailed || ::fsync(incoming.fd) != 0 ||
        ::close(std::exchange(incoming.fd, -1)) != 0)
        return refuseBody(response, 507, "The server couldn't store the picture");
    if (!complete)
        return refuseBody(response, 400, "The picture arrived incomplete");

    QImageReader check(QString::fromStdString(incoming.path.string()), "png");
    const QSize size = check.size();
    if (!check.canRead() || !size.isValid() || size.isEmpty() || size.width() > largestEdge ||
        size.height() > largestEdge)
        return fail(response, 400, "The edited picture is not a PNG");

    Upload stored;
    stored.id = randomId(10);
    stored.userId = signedIn->first.id;
    stored.name = editedName(original->name);
    stored.mime = "image/png";
    stored.size = incoming.size;
    stored.created = now();
    const std::string secret = randomHex(24);
    std::string error;
    if (!store_.commitUpload(stored, incoming.path, secret, error))
        return fail(response, 500, error);
    incoming.path.clear();
    answerUpload(response, stored, secret);
}

} // namespace slkserver
