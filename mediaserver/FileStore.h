#pragma once

// Where uploaded files and thumbnails live, by key ("files/ID", "thumbs/ID.png"): a local
// folder, or a bucket of S3-compatible object storage shared by several servers.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace slkserver {

class FileStore {
public:
    virtual ~FileStore() = default;

    // Takes a finished local file in under `key`, whole or not at all: moved when `move`
    // (`local` is then gone), else copied.
    virtual bool put(const std::string& key, const std::filesystem::path& local, bool move,
                     std::string& error) = 0;
    virtual std::optional<uint64_t> size(const std::string& key) = 0;
    // Appends up to `length` bytes from `offset` to `out`; false when the object is gone or
    // can't be read.
    virtual bool read(const std::string& key, uint64_t offset, size_t length, std::string& out) = 0;
    // The whole object, in pieces, to `write` (false from it stops); false when it failed.
    virtual bool readAll(const std::string& key,
                         const std::function<bool(const char*, size_t)>& write) = 0;
    virtual void remove(const std::string& key) = 0;
    // Every key under `prefix` with its age in seconds; false when the listing failed.
    virtual bool list(const std::string& prefix,
                      std::vector<std::pair<std::string, int64_t>>& keys) = 0;
    // The file itself, where the store is a local folder (served by its descriptor).
    virtual std::optional<std::filesystem::path> localPath(const std::string& key) const = 0;
};

} // namespace slkserver
