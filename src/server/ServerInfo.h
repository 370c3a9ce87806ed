#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

namespace shotlark {

// Names of the optional features a server can switch off.
namespace features {
inline const QString annotate = QStringLiteral("annotate");
inline const QString appGif = QStringLiteral("app_gif");
inline const QString appOcr = QStringLiteral("app_ocr");
inline const QString appPresence = QStringLiteral("app_presence");
inline const QString autoUpdate = QStringLiteral("auto_update");
inline const QString replayBuffer = QStringLiteral("replay_buffer");
inline const QString signInLinks = QStringLiteral("sign_in_links");
} // namespace features

// Only http and https links from a server are opened or handed on.
bool isWebLink(const QUrl& url);

// What the server says about itself: its enabled features and its dashboard address.
// Lives on the main thread; refresh() writes the fields there, so readers need no lock.
class ServerInfo : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static ServerInfo& shared();
    explicit ServerInfo(Clock clock = &std::chrono::steady_clock::now);

    // Asks "api/features" and "api/me" unless the last attempt is under five minutes old
    // (always when forced). Never throws: what fails keeps the previous values.
    QCoro::Task<> refresh(bool force);

    // A feature is on while the server's list is unknown, or when the list names it.
    bool isEnabled(const QString& feature) const;
    const std::optional<QSet<QString>>& features() const { return features_; }
    const std::optional<QUrl>& dashboardURL() const { return dashboardURL_; }
    // The web editor's link for one upload: dashboard (or server) + "edit/" + "?id=...".
    // Nothing when that base is not an http or https address.
    std::optional<QUrl> editorURL(const QString& id) const;

    static constexpr std::chrono::seconds freshness{300};

Q_SIGNALS:
    void changed();

private:
    Clock clock_;
    std::optional<QSet<QString>> features_;
    std::optional<QUrl> dashboardURL_;
    std::optional<std::chrono::steady_clock::time_point> fetchedAt_;
};

} // namespace shotlark
