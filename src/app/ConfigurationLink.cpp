#include "app/ConfigurationLink.h"

#include <QStringList>
#include <QUrl>

namespace shotlark {

std::optional<ConfigurationLink> parseConfigurationLink(const QString& link) {
    static const QString prefix = QStringLiteral("shotlark://configure");
    // Scheme and host compare exactly, as written: QUrl would lower-case both.
    if (!link.startsWith(prefix) ||
        (link.size() > prefix.size() && !QStringLiteral("/?#").contains(link.at(prefix.size()))))
        return std::nullopt;
    const QUrl url(link);
    std::optional<std::optional<QString>> server, token;
    for (const QString& item :
         url.query(QUrl::FullyEncoded).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        const QString name =
            QUrl::fromPercentEncoding(item.left(equals < 0 ? item.size() : equals).toUtf8());
        const std::optional<QString> value =
            equals < 0 ? std::nullopt
                       : std::optional(QUrl::fromPercentEncoding(item.mid(equals + 1).toUtf8()));
        if (name == QStringLiteral("server") && !server)
            server = value;
        else if (name == QStringLiteral("token") && !token)
            token = value;
    }
    if (!server || !*server || !token || !*token)
        return std::nullopt;
    return ConfigurationLink{**server, **token};
}

} // namespace shotlark
