#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

namespace shotlark {

// One running Shotlark per user: a later start hands its arguments to the running one over a
// private local socket and ends.
class Instance : public QObject {
public:
    using Receiver = std::function<void(const QStringList& arguments)>;

    // True when a running instance took `arguments`; then this process should end.
    static bool forward(const QStringList& arguments);
    // Becomes the running instance; false when another one holds the place.
    bool claim(Receiver receiver);

    static QString socketPath();

private:
    void accept();

    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    Receiver receiver_;
};

// Arguments as the running instance must see them: file paths made absolute against this
// process's working directory.
QStringList absoluteArguments(const QStringList& arguments);

} // namespace shotlark
