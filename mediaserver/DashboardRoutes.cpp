// The dashboard: signing in and out (sessions, one-time links), the list of the user's uploads
// and its delete form, and the Setup page with what connects an app to this server.
#include "Crypto.h"
#include "MediaServer.h"
#include "Pages.h"
#include "WebHelpers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrl>

namespace slkserver {

using http::Request;
using http::Response;

using namespace web;

std::optional<std::pair<User, Session>> MediaServer::session(const Request& request) {
    const std::string id = cookie(request, sessionCookie);
    if (id.empty())
        return std::nullopt;
    const auto found = store_.session(id);
    if (!found)
        return std::nullopt;
    // A revoked token ends its sessions too.
    const auto user = store_.userForToken(found->token);
    if (!user || user->id != found->userId)
        return std::nullopt;
    return std::pair{*user, *found};
}

void MediaServer::dashboard(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn)
        return htmlPage(response, "Sign in", html::signInForm(""));
    const auto& [user, state] = *signedIn;
    std::string body =
        "<h2>Uploads of " + html::escape(user.name) + "</h2>" + html::navigation(state.csrf);
    const auto uploads = store_.uploadsOf(user.id);
    body += "<div class=\"card\">";
    if (uploads.empty()) {
        body += "<p>Nothing uploaded yet.</p>";
    } else {
        body += "<table><tr><th></th><th>Name</th><th>Size</th><th></th><th></th></tr>";
        for (const Upload& upload : uploads) {
            const std::string id = html::escape(upload.id);
            body += "<tr><td><img class=\"thumb\" loading=\"lazy\" src=\"/t/" + id +
                    ".png\" alt=\"\"></td>"
                    "<td><a href=\"/u/" +
                    id + "\">" + html::escape(upload.name) + "</a></td><td>" +
                    html::humanSize(upload.size) + "</td><td>" +
                    // The editor draws a GIF's first frame only: no Edit that loses the rest.
                    (offers("annotate") && isEditable(upload) && upload.mime != "image/gif"
                         ? "<a class=\"button\" href=\"/dashboard/edit/?id=" + id + "\">Edit</a>"
                         : std::string()) +
                    // Deleting asks first, in the page.
                    "</td><td><details class=\"confirm\"><summary class=\"button danger\">"
                    "<span class=\"ask\">Delete</span><span "
                    "class=\"back\">Cancel</span></summary><form method=\"post\" "
                    "action=\"/dashboard/delete\">Delete " +
                    html::escape(upload.name) +
                    " from the server? <input type=\"hidden\" name=\"id\" value=\"" + id +
                    "\"><input type=\"hidden\" name=\"csrf\" value=\"" + html::escape(state.csrf) +
                    "\"><button class=\"danger\" type=\"submit\">Delete</button></form></details>"
                    "</td></tr>";
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
        return htmlPage(response, "Sign in",
                        html::signInForm("Sign in from this server's own page."), 403);
    const std::string token = request.get_param_value("token");
    const std::string next = ownPath(request.get_param_value("next"));
    const auto user = token.empty() ? std::nullopt : store_.userForToken(token);
    if (!user)
        return htmlPage(response, "Sign in", html::signInForm("That token is not valid.", next),
                        401);
    startSession(response, *user, token);
    redirect(response, next);
}

void MediaServer::startSession(Response& response, const User& user, const std::string& token) {
    const std::string id = randomHex(32);
    store_.startSession(id, Session{user.id, token, randomHex(16), {}, now() + sessionSeconds});
    const bool secure = startsWith(options_.publicUrl, "https://");
    response.set_header("Set-Cookie", std::string(sessionCookie) + "=" + id +
                                          "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                          std::to_string(sessionSeconds) +
                                          (secure ? "; Secure" : ""));
}

void MediaServer::signInLink(const Request& request, Response& response) {
    const auto user = bearer(request);
    if (!user)
        return fail(response, 401, "Invalid or missing upload token");
    const QJsonObject body =
        QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    const std::string next = ownPath(body.value(QStringLiteral("next")).toString().toStdString());
    const std::string code = randomHex(32);
    // Each costs a row for a minute; a client asking in a loop gets no more.
    if (!store_.addSignIn(code,
                          Session{user->id,
                                  request.get_header_value("Authorization").substr(7),
                                  {},
                                  next,
                                  now() + signInLinkSeconds},
                          1000))
        return fail(response, 503, "Too many sign-in links; try again in a minute");
    json(response, {{QStringLiteral("url"), q(link("/dashboard/once?code=" + code))}});
}

void MediaServer::signInOnce(const Request& request, Response& response) {
    // Taken once, whatever comes of it, on whichever server the browser reaches.
    const auto found = store_.takeSignIn(request.get_param_value("code"));
    const auto user = found ? store_.userForToken(found->token) : std::nullopt;
    if (!user || user->id != found->userId)
        return htmlPage(response, "Sign in",
                        html::signInForm("That sign-in link has expired or was used already.",
                                         found ? found->next : std::string()),
                        403);
    startSession(response, *user, found->token);
    redirect(response, found->next);
}

void MediaServer::logout(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (signedIn && constantTimeEquals(request.get_param_value("csrf"), signedIn->second.csrf))
        store_.endSession(cookie(request, sessionCookie));
    response.set_header("Set-Cookie", std::string(sessionCookie) +
                                          "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    redirect(response, "/dashboard/");
}

std::optional<std::pair<User, Session>> MediaServer::formSession(const Request& request,
                                                                 Response& response) {
    auto signedIn = session(request);
    if (!signedIn) {
        fail(response, 401, "Sign in first");
        return std::nullopt;
    }
    if (!constantTimeEquals(request.get_param_value("csrf"), signedIn->second.csrf)) {
        fail(response, 403, "This form has expired; reload the page");
        return std::nullopt;
    }
    return signedIn;
}

void MediaServer::dashboardDelete(const Request& request, Response& response) {
    const auto signedIn = formSession(request, response);
    if (!signedIn)
        return;
    if (!store_.deleteOwned(request.get_param_value("id"), signedIn->first.id))
        return fail(response, 404, "No such upload");
    redirect(response, "/dashboard/");
}

void MediaServer::setup(const Request& request, Response& response) {
    const auto signedIn = session(request);
    if (!signedIn)
        return htmlPage(response, "Sign in", html::signInForm("", "/dashboard/setup/"));
    const auto& [user, state] = *signedIn;
    const std::string configure =
        "shotlark://configure?server=" + html::percentEncode(options_.publicUrl) +
        "&token=" + html::percentEncode(state.token);
    std::string body =
        "<h2>Set up the app</h2>" + html::navigation(state.csrf) + "<div class=\"card\">";
    body += "<p>Server address<br><code>" + html::escape(options_.publicUrl) + "</code></p>";
    body += "<p>Upload token<br><code>" + html::escape(state.token) + "</code></p>";
    body += "<p><a class=\"button\" href=\"" + html::escape(configure) + "\">Connect app</a></p>";
    body += "<p>The button opens Shotlark and asks you to confirm the connection.</p></div>";
    // A form, like every other action here: the file holds the token.
    body += "<div class=\"card\"><form method=\"post\" action=\"/dashboard/setup/shotlark.sxcu\">"
            "<input type=\"hidden\" name=\"csrf\" value=\"" +
            html::escape(state.csrf) +
            "\"><button type=\"submit\">Download .sxcu</button></form>"
            "<p>A custom uploader file with your token: other capture tools that read the "
            "format upload here with it.</p></div>";
    htmlPage(response, "Setup", body);
}

void MediaServer::uploaderFile(const Request& request, Response& response) {
    const auto signedIn = formSession(request, response);
    if (!signedIn)
        return;
    const QString host = QUrl(q(options_.publicUrl)).host();
    const QJsonObject file{
        {QStringLiteral("Version"), QStringLiteral("15.0.0")},
        {QStringLiteral("Name"), QStringLiteral("Shotlark (%1)").arg(host)},
        {QStringLiteral("DestinationType"), QStringLiteral("ImageUploader, FileUploader")},
        {QStringLiteral("RequestMethod"), QStringLiteral("POST")},
        {QStringLiteral("RequestURL"), q(link("/api/upload"))},
        {QStringLiteral("Headers"),
         QJsonObject{{QStringLiteral("Authorization"), q("Bearer " + signedIn->second.token)}}},
        {QStringLiteral("Body"), QStringLiteral("MultipartFormData")},
        {QStringLiteral("FileFormName"), QStringLiteral("file")},
        {QStringLiteral("URL"), QStringLiteral("{json:url}")},
        {QStringLiteral("ThumbnailURL"), QStringLiteral("{json:thumbnail_url}")},
        {QStringLiteral("DeletionURL"), QStringLiteral("{json:deletion_url}")},
        {QStringLiteral("ErrorMessage"), QStringLiteral("{json:error}")}};
    response.set_header("Content-Disposition",
                        "attachment; filename=\"" + host.toStdString() + ".sxcu\"");
    response.set_header("Cache-Control", "no-store");
    response.set_content(QJsonDocument(file).toJson().toStdString(), "application/x-sxcu");
}

} // namespace slkserver
