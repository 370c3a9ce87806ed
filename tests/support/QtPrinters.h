#pragma once

// Readable gtest output for Qt values.
#include <QByteArray>
#include <QString>
#include <QUrl>

#include <ostream>

inline void PrintTo(const QString& value, std::ostream* os) {
    *os << '"' << value.toStdString() << '"';
}
inline void PrintTo(const QByteArray& value, std::ostream* os) {
    *os << '"' << value.toStdString() << '"';
}
inline void PrintTo(const QUrl& value, std::ostream* os) {
    *os << value.toString().toStdString();
}
