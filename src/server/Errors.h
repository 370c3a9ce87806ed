#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace shotlark {

// Every failure the app reports carries the text the user will see.
class Error : public std::exception {
public:
    explicit Error(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}
    const QString& message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
};

// A failure the server client or a flow words for the user itself.
class UploaderError : public Error {
public:
    using Error::Error;
};

} // namespace shotlark
