#pragma once

#include <QString>

#include <optional>

namespace shotlark {

struct ConfigurationLink {
    QString server;
    QString token;
};

// The server and token of a "shotlark://configure?server=...&token=..." link, or nothing when
// the link is not one or lacks either. The first item of each name counts; an item written
// without "=" has no value (the link is ignored), "server=" an empty one (passed on).
std::optional<ConfigurationLink> parseConfigurationLink(const QString& link);

} // namespace shotlark
