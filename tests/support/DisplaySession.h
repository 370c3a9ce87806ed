#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <sys/types.h>

namespace shotlark::test {

// A child process that is terminated with its owner (also when the owner crashes).
class ChildProcess {
public:
    // Starts `argv` with `passFd` left open in the child; -1 for none.
    static std::unique_ptr<ChildProcess> start(const QStringList& argv, int passFd = -1);
    ~ChildProcess();
    pid_t pid() const { return pid_; }
    bool running() const;

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_;
};

// A private X server (Xvfb) and a private session bus for tests that need a desktop.
// start() points DISPLAY and DBUS_SESSION_BUS_ADDRESS at them; they end with the object.
class DisplaySession {
public:
    ~DisplaySession();
    bool start(int width = 1280, int height = 800);

    const QString& display() const { return display_; }       // ":N"
    const QString& busAddress() const { return busAddress_; } // "unix:path=..."

private:
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> bus_;
    QString display_;
    QString busAddress_;
};

} // namespace shotlark::test
