#pragma once

#include "base/CurrentInstance.h"
#include "platform/Services.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace shotlark {

// Posts the app's notifications and opens a notification's link when it is clicked.
class Notifier : public QObject, public CurrentInstance<Notifier> {
public:
    Notifier(platform::NotificationService& service, platform::LinkOpener& opener);

    // Nothing is posted while "showNotifications" is off. With `copy`, the notification has a
    // "Copy" button, whose click reaches the copy handler.
    void notify(const QString& title, const QString& body,
                const std::optional<QString>& url = std::nullopt, const QString& copy = QString());
    void onCopy(std::function<void(const QString&)> handler) { copyHandler_ = std::move(handler); }

    // Links outside the web that a notification may open: the app's own kept files.
    void allowLocalFolder(const QString& folder) { localFolder_ = folder; }

private:
    void activated(const QUrl& link);

    platform::NotificationService& service_;
    platform::LinkOpener& opener_;
    QString localFolder_;
    std::function<void(const QString&)> copyHandler_;
};

} // namespace shotlark
