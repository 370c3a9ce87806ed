#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace shotlark {

// The server's answer to an upload: seven required members, others ignored.
struct UploadResult {
    QString id;
    QString url;          // "url": the page link
    QString rawURL;       // "raw_url": the direct link
    QString thumbnailURL; // "thumbnail_url"
    QString deletionURL;  // "deletion_url"
    QString name;
    qint64 size = 0;

    // Nothing when the bytes are not a JSON object with all seven members of the right type
    // (a fractional or quoted "size" included).
    static std::optional<UploadResult> decode(const QByteArray& json);

    bool operator==(const UploadResult&) const = default;
};

} // namespace shotlark
