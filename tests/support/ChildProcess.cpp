#include "ChildProcess.h"
#include "support/Prelude.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>

namespace shotlark::test {

std::unique_ptr<ChildProcess> ChildProcess::start(const QStringList& argv, int passFd) {
    if (passFd < 0)
        return startMapped(argv, {});
    return startMapped(argv, {{passFd, passFd}});
}

std::unique_ptr<ChildProcess>
ChildProcess::startMapped(const QStringList& argv, const std::vector<std::pair<int, int>>& fds) {
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
        // Sources are numbered above every target, so no dup2 overwrites a later source.
        for (const auto& [from, to] : fds) {
            if (from == to)
                ::fcntl(from, F_SETFD, 0);
            else if (::dup2(from, to) < 0)
                ::_exit(127);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            bool kept = false;
            for (const auto& mapping : fds)
                kept |= mapping.second == fd;
            if (!kept)
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
} // namespace

std::unique_ptr<ChildProcess> startAndReadLine(QStringList argv, QString* line, int ms) {
    int fds[2];
    if (::pipe(fds) != 0)
        return nullptr;
    argv.replaceInStrings(u"{fd}"_s, QString::number(fds[1]));
    auto child = ChildProcess::start(argv, fds[1]);
    ::close(fds[1]);
    if (child)
        *line = readLine(fds[0], ms);
    ::close(fds[0]);
    if (line->isEmpty())
        child.reset();
    return child;
}

} // namespace shotlark::test
