#pragma once

#include "store/Config.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace shotlark {

struct UploadResult;

// One remembered upload.
struct HistoryEntry {
    std::optional<QString> id;
    QString name;
    QString url; // the page link, and the entry's identity for removal
    QString deletionURL;
    // Seconds since 2001-01-01 00:00:00 UTC, kept as stored so that fractions survive.
    double date = 0;

    static constexpr double referenceEpoch = 978307200.0; // 2001-01-01 in Unix seconds
    QDateTime dateTime() const;
    static double now();

    bool operator==(const HistoryEntry&) const = default;
};

// The last uploads, newest first, stored under "history" as a JSON array.
// Callers run on the main thread; add and remove are read-modify-write without a lock.
class History {
public:
    static constexpr int limit = 15;

    // Empty when nothing is stored or the stored list can't be decoded as a whole.
    static QList<HistoryEntry> entries(const Config& config = Config::shared());
    static void add(const UploadResult& result, Config& config = Config::shared());
    // Drops every entry whose page link is exactly `url`.
    static void remove(const QString& url, Config& config = Config::shared());
    static void clear(Config& config = Config::shared());

    static QByteArray encode(const QList<HistoryEntry>& entries);
    static std::optional<QList<HistoryEntry>> decode(const QByteArray& json);

private:
    static void save(const QList<HistoryEntry>& entries, Config& config);
};

} // namespace shotlark
