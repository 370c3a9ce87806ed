#include "app/Notifier.h"

#include "server/ServerInfo.h"
#include "store/Config.h"

#include <QDir>

namespace shotlark {

Notifier::Notifier(platform::NotificationService& service, platform::LinkOpener& opener)
    : service_(service), opener_(opener) {
    connect(&service_, &platform::NotificationService::linkActivated, this, &Notifier::activated);
    connect(&service_, &platform::NotificationService::copyRequested, this,
            [this](const QString& text) {
                if (copyHandler_)
                    copyHandler_(text);
            });
}

void Notifier::notify(const QString& title, const QString& body, const std::optional<QString>& url,
                      const QString& copy) {
    if (!Config::shared().boolValue(keys::showNotifications))
        return;
    std::optional<QUrl> link;
    if (url) {
        const QUrl parsed(*url, QUrl::StrictMode);
        if (parsed.isValid())
            link = parsed;
    }
    service_.post(title, body, link, copy);
}

void Notifier::activated(const QUrl& link) {
    // Links from a server open only when they are web links; local ones only inside our folder.
    const bool ours = link.isLocalFile() && !localFolder_.isEmpty() &&
                      QDir::cleanPath(link.toLocalFile())
                          .startsWith(QDir::cleanPath(localFolder_) + QLatin1Char('/'));
    if (isWebLink(link) || ours)
        opener_.open(link);
}

} // namespace shotlark
