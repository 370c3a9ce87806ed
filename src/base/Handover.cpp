#include "base/Handover.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace shotlark::handover {

namespace {
constexpr int timeoutSeconds = 5;

bool ownedPrivateDir(const std::string& path, bool followLinks) {
    struct stat st {};
    const int found = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    return !path.empty() && found == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}
} // namespace

bool isOwnedPrivateDir(const std::string& path) {
    return ownedPrivateDir(path, true);
}

std::string existingRuntimeDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && isOwnedPrivateDir(xdg))
        return xdg;
    // In a directory everyone writes to, a link in its place is someone else's.
    const char* tmp = std::getenv("TMPDIR");
    std::string shared = tmp && *tmp ? tmp : "/tmp";
    while (shared.size() > 1 && shared.back() == '/')
        shared.pop_back();
    shared += "/shotlark-" + std::to_string(::geteuid());
    return ownedPrivateDir(shared, false) ? shared : std::string();
}

std::string encode(const std::vector<std::string>& arguments) {
    std::string line = "[";
    for (const std::string& argument : arguments) {
        if (line.size() > 1)
            line += ',';
        line += '"';
        for (const char c : argument) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                line += '\\';
                line += c;
            } else if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                line += escaped;
            } else {
                line += c;
            }
        }
        line += '"';
    }
    return line + "]\n";
}

bool send(const std::string& socketPath, const std::vector<std::string>& arguments) {
    sockaddr_un address{};
    if (socketPath.size() >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const timeval timeout{timeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const std::string line = encode(arguments);
    for (size_t sent = 0; ok && sent < line.size();) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        ok = n > 0;
        sent += ok ? static_cast<size_t>(n) : 0;
    }
    // The running instance answers once it has taken the arguments.
    char answer[2] = {};
    ok = ok && ::recv(fd, answer, sizeof answer, MSG_WAITALL) == 2 && answer[0] == 'o' &&
         answer[1] == 'k';
    ::close(fd);
    return ok;
}

} // namespace shotlark::handover
