#pragma once

// Bodies the server receives into files of its own: one upload's file part, and the segments of
// a replay.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace slkserver::web {

namespace fs = std::filesystem;

// A streamed multipart body: the part "file" goes to a temporary file, other parts are ignored.
struct IncomingFile {
    fs::path path;
    int fd = -1;
    std::string fileName;
    int64_t size = 0;
    bool inFilePart = false;
    bool haveFile = false;
    bool tooLarge = false;
    bool writeFailed = false;

    // Appends to the file; false when the disk refused some of it.
    bool write(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    ~IncomingFile() {
        if (fd >= 0)
            ::close(fd);
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec); // still here only when the upload was not committed
        }
    }
};

// The parts of a replay body as they arrive: every "file" part to a file of its own (16 at
// most), the "seconds" field as text, and any other part skipped. Each part ends where the next
// begins, so nothing of another part is ever added to a segment.
class ReplayParts {
public:
    ReplayParts(std::function<fs::path()> newFile, int64_t maxBytes)
        : newFile_(std::move(newFile)), maxBytes_(maxBytes) {}

    // A part's headers arrived; false stops the body.
    bool begin(const std::string& name) {
        current_ = nullptr;
        inSeconds_ = name == "seconds";
        if (name != "file")
            return true;
        if (files.size() >= 16)
            return false; // more than 16 segments is no replay
        auto incoming = std::make_unique<IncomingFile>();
        incoming->path = newFile_();
        incoming->fd =
            ::open(incoming->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        writeFailed = incoming->fd < 0;
        current_ = incoming.get();
        files.push_back(std::move(incoming));
        return !writeFailed;
    }

    // Bytes of the current part; false stops the body.
    bool data(const char* bytes, size_t size) {
        if (inSeconds_) {
            seconds.append(bytes, std::min<size_t>(size, 17));
            return seconds.size() <= 16;
        }
        if (!current_)
            return true;
        total_ += static_cast<int64_t>(size);
        if (total_ > maxBytes_) {
            tooLarge = true;
            return false;
        }
        writeFailed = !current_->write(bytes, size);
        return !writeFailed;
    }

    std::vector<std::unique_ptr<IncomingFile>> files;
    std::string seconds;
    bool tooLarge = false;
    bool writeFailed = false;

private:
    std::function<fs::path()> newFile_;
    int64_t maxBytes_;
    int64_t total_ = 0;
    bool inSeconds_ = false;
    IncomingFile* current_ = nullptr;
};

} // namespace slkserver::web
