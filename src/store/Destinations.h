#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace shotlark::destinations {

// The upload servers imported from custom-uploader files, beside the Shotlark server. They are
// kept whole (as their file's fields) in a private file, written atomically and readable by the
// user alone: their headers and fields may hold secrets, as the token does.
struct Saved {
    QString id;
    QJsonObject file;
};

// In the order they were added; nothing when the file is missing or unreadable (an unreadable
// one is moved aside before the next change, never overwritten).
QList<Saved> all();
// Adds one; its new id, or nothing when it couldn't be written.
std::optional<QString> add(const QJsonObject& file);
// Replaces the fields of `id` (a new name); false when it is gone or couldn't be written.
bool update(const QString& id, const QJsonObject& file);
bool remove(const QString& id);

// The destination uploads go to: an imported one, or nothing for the Shotlark server (also when
// the one chosen was removed).
std::optional<Saved> active();
// Empty: the Shotlark server.
void setActive(const QString& id);

} // namespace shotlark::destinations
