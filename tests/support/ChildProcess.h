#pragma once

#include "support/Prelude.h"
#include <sys/types.h>
#include <utility>

namespace shotlark::test {

// A child process that is terminated with its owner (also when the owner crashes).
class ChildProcess {
public:
    // Starts `argv` with `passFd` left open in the child; -1 for none.
    static std::unique_ptr<ChildProcess> start(const QStringList& argv, int passFd = -1);
    // Starts `argv` with each pair's first descriptor as the child's second one, and no other
    // descriptor above 2 open.
    static std::unique_ptr<ChildProcess> startMapped(const QStringList& argv,
                                                     const std::vector<std::pair<int, int>>& fds);
    ~ChildProcess();
    pid_t pid() const { return pid_; }
    bool running() const;

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_;
};

// Starts `argv`, in which "{fd}" stands for the write end of a pipe, and reads the first line
// the child writes there (at most `ms` milliseconds). Null, with `line` empty, on failure.
std::unique_ptr<ChildProcess> startAndReadLine(QStringList argv, QString* line, int ms = 20000);

} // namespace shotlark::test
