#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace shotlark {

// Every failure the app reports carries the text the user will see; flows catch `Error` and
// show message() unchanged.
class Error : public std::exception {
public:
    explicit Error(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}
    const QString& message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
};

// A failure the app words for the user itself.
class UploaderError : public Error {
public:
    using Error::Error;
};

// The transport failed (no connection, time-out, TLS, ...): passed up with its own description.
class TransportError : public Error {
public:
    enum class Kind { Failed, TimedOut };
    TransportError(Kind kind, QString message) : Error(std::move(message)), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// A local file could not be read or written: passed up with the system's description.
class FileError : public Error {
public:
    using Error::Error;
};

// An answer that does not have the form it must have.
class DecodingError : public Error {
public:
    DecodingError()
        : Error(
              QStringLiteral("The data couldn't be read because it isn't in the correct format.")) {
    }
};

} // namespace shotlark
