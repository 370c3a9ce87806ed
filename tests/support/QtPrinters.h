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

// So that failure messages take Qt strings as they are: `EXPECT_TRUE(x) << text`.
inline std::ostream& operator<<(std::ostream& os, const QString& value) {
    return os << value.toStdString();
}
inline std::ostream& operator<<(std::ostream& os, const QByteArray& value) {
    return os << value.toStdString();
}
