#include "DisplaySession.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace shotlark::test {

std::unique_ptr<ChildProcess> ChildProcess::start(const QStringList& argv, int passFd) {
    std::vector<QByteArray> storage;
    for (const QString& arg : argv)
        storage.push_back(QFile::encodeName(arg));
    std::vector<char*> args;
    for (QByteArray& arg : storage)
        args.push_back(arg.data());
    args.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return nullptr;
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != passFd)
                ::close(fd);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return std::unique_ptr<ChildProcess>(new ChildProcess(pid));
}

bool ChildProcess::running() const {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
}

ChildProcess::~ChildProcess() {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) != 0)
            return;
        const timespec pause{0, 10'000'000};
        ::nanosleep(&pause, nullptr);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

namespace {
// Reads one line that a child writes to `fd`, waiting at most `ms` milliseconds in all.
QString readLine(int fd, int ms) {
    QByteArray line;
    pollfd p{fd, POLLIN, 0};
    while (!line.endsWith('\n')) {
        if (::poll(&p, 1, ms) <= 0)
            return QString();
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            return QString();
        line.append(c);
    }
    return QString::fromLocal8Bit(line).trimmed();
}

// Runs `argv` with the write end of a pipe as `{fd}` and returns the first line it prints there.
std::unique_ptr<ChildProcess> startAndRead(QStringList argv, QString* line) {
    int fds[2];
    if (::pipe(fds) != 0)
        return nullptr;
    argv.replaceInStrings(QStringLiteral("{fd}"), QString::number(fds[1]));
    auto child = ChildProcess::start(argv, fds[1]);
    ::close(fds[1]);
    if (child)
        *line = readLine(fds[0], 20000);
    ::close(fds[0]);
    if (line->isEmpty())
        child.reset();
    return child;
}
} // namespace

bool DisplaySession::start(int width, int height) {
    QString number;
    xvfb_ = startAndRead({QStringLiteral("Xvfb"), QStringLiteral("-displayfd"), QStringLiteral("{fd}"),
                          QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                          QStringLiteral("-screen"), QStringLiteral("0"),
                          QStringLiteral("%1x%2x24").arg(width).arg(height)},
                         &number);
    if (!xvfb_) {
        std::fprintf(stderr, "DisplaySession: Xvfb did not start\n");
        return false;
    }
    display_ = QLatin1Char(':') + number;

    bus_ = startAndRead({QStringLiteral("dbus-daemon"), QStringLiteral("--session"), QStringLiteral("--nofork"),
                         QStringLiteral("--print-address={fd}")},
                        &busAddress_);
    if (!bus_) {
        std::fprintf(stderr, "DisplaySession: dbus-daemon did not start\n");
        return false;
    }

    ::setenv("DISPLAY", qPrintable(display_), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", qPrintable(busAddress_), 1);
    ::setenv("XDG_SESSION_TYPE", "x11", 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    return true;
}

DisplaySession::~DisplaySession() {
    bus_.reset();
    xvfb_.reset();
}

} // namespace shotlark::test
