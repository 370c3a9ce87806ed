#include "FolderFiles.h"

#include "Crypto.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;

bool FolderFiles::put(const std::string& key, const fs::path& local, bool move,
                      std::string& error) {
    const fs::path target = dir_ / key;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (move) {
        fs::rename(local, target, ec);
        if (ec) {
            fs::remove(local, ec);
            error = "can't store the file";
            return false;
        }
        return true;
    }
    // A copy lands under a temporary name first: a cut copy never takes the key.
    const fs::path partial = target.string() + "." + randomHex(6) + ".part";
    fs::copy_file(local, partial, fs::copy_options::overwrite_existing, ec);
    const int fd = ec ? -1 : ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ec && synced)
        fs::rename(partial, target, ec);
    if (ec || !synced) {
        fs::remove(partial, ec);
        error = "can't copy " + local.string() + " to " + target.string();
        return false;
    }
    return true;
}

std::optional<uint64_t> FolderFiles::size(const std::string& key) {
    std::error_code ec;
    const auto bytes = fs::file_size(dir_ / key, ec);
    if (ec)
        return std::nullopt;
    return bytes;
}

bool FolderFiles::read(const std::string& key, uint64_t offset, size_t length, std::string& out) {
    const int fd = ::open((dir_ / key).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const size_t before = out.size();
    out.resize(before + length);
    size_t got = 0;
    while (got < length) {
        const ssize_t n =
            ::pread(fd, out.data() + before + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(before + got);
    return true;
}

bool FolderFiles::readAll(const std::string& key,
                          const std::function<bool(const char*, size_t)>& write) {
    const int fd = ::open((dir_ / key).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[256 * 1024];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!write(buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

void FolderFiles::remove(const std::string& key) {
    std::error_code ec;
    fs::remove(dir_ / key, ec);
}

bool FolderFiles::list(const std::string& prefix,
                       std::vector<std::pair<std::string, int64_t>>& keys) {
    std::error_code ec;
    const auto now = fs::file_time_type::clock::now();
    const fs::path folder = dir_ / prefix;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::error_code timeError;
        const auto changed = entry.last_write_time(timeError);
        const auto age =
            timeError ? 0 : std::chrono::duration_cast<std::chrono::seconds>(now - changed).count();
        keys.emplace_back(prefix + entry.path().filename().string(), age);
    }
    return !ec || ec == std::errc::no_such_file_or_directory;
}

} // namespace slkserver
