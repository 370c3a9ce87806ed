#include "store/Destinations.h"

#include "store/AtomicFile.h"
#include "store/Config.h"
#include "store/Paths.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

#include <cstdio>

namespace shotlark::destinations {

namespace {

QString storeFile() {
    return paths::dataDir() + QStringLiteral("/uploaders.json");
}

constexpr qint64 largestStore = 4 * 1024 * 1024;

// The saved list, and whether the file (when there is one) could be read.
std::pair<QList<Saved>, bool> read() {
    QFile file(storeFile());
    if (!file.exists())
        return {{}, true};
    if (!file.open(QIODevice::ReadOnly) || file.size() > largestStore)
        return {{}, false};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isArray())
        return {{}, false};
    QList<Saved> saved;
    for (const QJsonValue entry : document.array()) {
        const QJsonObject object = entry.toObject();
        const QString id = object.value(QLatin1StringView("id")).toString();
        if (!id.isEmpty() && object.value(QLatin1StringView("file")).isObject())
            saved.append({id, object.value(QLatin1StringView("file")).toObject()});
    }
    return {saved, true};
}

bool write(const QList<Saved>& saved) {
    const QString path = storeFile();
    if (!read().second) {
        const QString aside = path + QStringLiteral(".damaged");
        QFile::remove(aside);
        QFile::rename(path, aside);
        std::fprintf(stderr, "shotlark: %s was damaged; kept as %s\n", qPrintable(path),
                     qPrintable(aside));
    }
    QJsonArray array;
    for (const Saved& entry : saved)
        array.append(
            QJsonObject{{QStringLiteral("id"), entry.id}, {QStringLiteral("file"), entry.file}});
    paths::ensurePrivateDir(paths::dataDir());
    QString error;
    if (writeFileAtomically(path, QJsonDocument(array).toJson(), 0600, &error)) {
        Q_EMIT Config::shared().changed(keys::destination); // what shows the list reads it again
        return true;
    }
    std::fprintf(stderr, "shotlark: upload servers not saved: %s\n", qPrintable(error));
    return false;
}

} // namespace

QList<Saved> all() {
    return read().first;
}

std::optional<QString> add(const QJsonObject& file) {
    QList<Saved> saved = all();
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    saved.append({id, file});
    if (!write(saved))
        return std::nullopt;
    return id;
}

bool update(const QString& id, const QJsonObject& file) {
    QList<Saved> saved = all();
    for (Saved& entry : saved) {
        if (entry.id == id) {
            entry.file = file;
            return write(saved);
        }
    }
    return false;
}

bool remove(const QString& id) {
    QList<Saved> saved = all();
    const qsizetype before = saved.size();
    saved.removeIf([&](const Saved& entry) { return entry.id == id; });
    if (saved.size() == before || !write(saved))
        return false;
    if (Config::shared().stringValue(keys::destination) == id)
        setActive(QString());
    return true;
}

std::optional<Saved> active() {
    const QString id = Config::shared().stringValue(keys::destination).value_or(QString());
    if (id.isEmpty())
        return std::nullopt;
    for (const Saved& entry : all())
        if (entry.id == id)
            return entry;
    return std::nullopt;
}

void setActive(const QString& id) {
    if (id.isEmpty())
        Config::shared().remove(keys::destination);
    else
        Config::shared().setString(keys::destination, id);
}

} // namespace shotlark::destinations
