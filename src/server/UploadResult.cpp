#include "server/UploadResult.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace shotlark {

std::optional<UploadResult> UploadResult::decode(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    UploadResult result;
    const std::pair<const char*, QString*> strings[] = {
        {"id", &result.id},
        {"url", &result.url},
        {"raw_url", &result.rawURL},
        {"thumbnail_url", &result.thumbnailURL},
        {"deletion_url", &result.deletionURL},
        {"name", &result.name},
    };
    for (const auto& [key, field] : strings) {
        const QJsonValue value = object.value(QLatin1StringView(key));
        if (!value.isString())
            return std::nullopt;
        *field = value.toString();
    }
    const QJsonValue size = object.value(QLatin1StringView("size"));
    const double number = size.toDouble();
    if (!size.isDouble() || !std::isfinite(number) || std::trunc(number) != number)
        return std::nullopt;
    result.size = size.toInteger(static_cast<qint64>(number));
    return result;
}

} // namespace shotlark
