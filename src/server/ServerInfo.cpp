#include "server/ServerInfo.h"

#include "base/Errors.h"
#include "server/HttpClient.h"
#include "server/Uploader.h"
#include "store/Config.h"
#include "store/Destinations.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace shotlark {

namespace {

std::optional<QSet<QString>> decodeFeatures(const QByteArray& body) {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue enabled = document.object().value(QLatin1StringView("enabled"));
    if (!document.isObject() || !enabled.isArray())
        return std::nullopt;
    QSet<QString> names;
    for (const QJsonValue& name : enabled.toArray()) {
        if (!name.isString())
            return std::nullopt;
        names.insert(name.toString());
    }
    return names;
}

// The dashboard member of an "api/me" answer: nothing when the answer doesn't decode; an
// absent URL when it decodes but its text is not a URL.
std::optional<std::optional<QUrl>> decodeDashboard(const QByteArray& body) {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue server = document.object().value(QLatin1StringView("server"));
    const QJsonValue dashboard = server.toObject().value(QLatin1StringView("dashboard_url"));
    if (!document.isObject() || !server.isObject() || !dashboard.isString())
        return std::nullopt;
    return Uploader::serverURL(dashboard.toString());
}

} // namespace

bool isWebLink(const QUrl& url) {
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QStringLiteral("https") || url.scheme() == QStringLiteral("http"));
}

ServerInfo& ServerInfo::shared() {
    static auto* info = new ServerInfo();
    return *info;
}

ServerInfo::ServerInfo(Clock clock) : clock_(std::move(clock)) {}

bool ServerInfo::isEnabled(const QString& feature) const {
    // Beside another upload server our server's choices don't apply: what needs it is off, and
    // text recognition, GIF conversion and joining replays run here.
    if (destinations::active())
        return feature == features::appOcr || feature == features::appGif ||
               feature == features::replayBuffer;
    return !features_ || features_->contains(feature);
}

QCoro::Task<> ServerInfo::refresh(bool force) {
    const Config& config = Config::shared();
    const auto base = Uploader::serverURL(config.server());
    if (!base)
        co_return;
    const auto now = clock_();
    if (!force && fetchedAt_ && now - *fetchedAt_ < freshness)
        co_return;
    fetchedAt_ = now; // the attempt counts, so a failing server is not asked again at once

    HttpRequest featuresRequest;
    featuresRequest.url = Uploader::endpoint(*base, QStringLiteral("api/features"));
    try {
        auto sending = HttpClient::shared().send(std::move(featuresRequest));
        const HttpResponse response = co_await std::move(sending);
        if (auto decoded = decodeFeatures(response.body)) {
            features_ = std::move(decoded);
            Q_EMIT changed();
        }
    } catch (const Error&) {
    }

    HttpRequest meRequest;
    meRequest.url = Uploader::endpoint(*base, QStringLiteral("api/me"));
    meRequest.headers = {{"Authorization", "Bearer " + config.token().toUtf8()}};
    try {
        auto sending = HttpClient::shared().send(std::move(meRequest));
        const HttpResponse response = co_await std::move(sending);
        if (auto decoded = decodeDashboard(response.body)) {
            dashboardURL_ = std::move(*decoded);
            Q_EMIT changed();
        }
    } catch (const Error&) {
    }
}

std::optional<QUrl> ServerInfo::editorURL(const QString& id) const {
    const std::optional<QUrl> base =
        dashboardURL_ ? dashboardURL_ : Uploader::serverURL(Config::shared().server());
    if (!base || !isWebLink(*base))
        return std::nullopt;
    QUrl url = Uploader::endpoint(*base, QStringLiteral("edit/"));
    // Every character with a meaning in a query is escaped, so an id can't add parameters.
    url.setQuery(QStringLiteral("id=") + QString::fromLatin1(QUrl::toPercentEncoding(id)),
                 QUrl::StrictMode);
    return url;
}

} // namespace shotlark
