#include "store/History.h"

#include "server/UploadResult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

namespace shotlark {

QDateTime HistoryEntry::dateTime() const {
    return QDateTime::fromMSecsSinceEpoch(qRound64((date + referenceEpoch) * 1000.0), Qt::UTC);
}

double HistoryEntry::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - referenceEpoch;
}

QByteArray History::encode(const QList<HistoryEntry>& entries) {
    QJsonArray array;
    for (const HistoryEntry& entry : entries) {
        QJsonObject object;
        if (entry.id)
            object.insert(QStringLiteral("id"), *entry.id);
        object.insert(QStringLiteral("name"), entry.name);
        object.insert(QStringLiteral("url"), entry.url);
        object.insert(QStringLiteral("deletionURL"), entry.deletionURL);
        object.insert(QStringLiteral("date"), entry.date);
        array.append(object);
    }
    // Qt writes doubles in their shortest exact form, so dates keep their fraction.
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<HistoryEntry>> History::decode(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<HistoryEntry> entries;
    for (const QJsonValue& element : document.array()) {
        if (!element.isObject())
            return std::nullopt;
        const QJsonObject object = element.toObject();
        HistoryEntry entry;
        const std::pair<const char*, QString*> required[] = {
            {"name", &entry.name}, {"url", &entry.url}, {"deletionURL", &entry.deletionURL}};
        for (const auto& [key, field] : required) {
            const QJsonValue value = object.value(QLatin1StringView(key));
            if (!value.isString())
                return std::nullopt;
            *field = value.toString();
        }
        const QJsonValue id = object.value(QLatin1StringView("id"));
        if (id.isString())
            entry.id = id.toString();
        else if (!id.isUndefined() && !id.isNull())
            return std::nullopt;
        const QJsonValue date = object.value(QLatin1StringView("date"));
        if (!date.isDouble())
            return std::nullopt;
        entry.date = date.toDouble();
        entries.append(std::move(entry));
    }
    return entries;
}

QList<HistoryEntry> History::entries(const Config& config) {
    const auto stored = config.dataValue(keys::history);
    if (!stored)
        return {};
    return decode(*stored).value_or(QList<HistoryEntry>());
}

void History::add(const UploadResult& result, Config& config) {
    QList<HistoryEntry> list{
        // An upload to another server than ours has no id of ours.
        HistoryEntry{result.id.isEmpty() ? std::nullopt : std::optional(result.id), result.name,
                     result.url, result.deletionURL, HistoryEntry::now()}};
    list += entries(config);
    if (list.size() > limit)
        list.resize(limit);
    save(list, config);
}

void History::remove(const QString& url, Config& config) {
    QList<HistoryEntry> list = entries(config);
    list.removeIf([&](const HistoryEntry& entry) { return entry.url == url; });
    save(list, config);
}

void History::clear(Config& config) {
    config.remove(keys::history);
}

void History::save(const QList<HistoryEntry>& entries, Config& config) {
    config.setData(keys::history, encode(entries));
}

} // namespace shotlark
