#pragma once

#include <QString>
#include <QStringList>

namespace shotlark::bundle {

// A relative path without "..", "." or empty parts.
inline bool isPlainRelative(const QString& path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\')))
        return false;
    QStringList parts = path.split(QLatin1Char('/'));
    if (parts.last().isEmpty())
        parts.removeLast(); // "dir/"
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QStringLiteral("..") || part == QStringLiteral("."))
            return false;
    }
    return !parts.isEmpty();
}

} // namespace shotlark::bundle
