#pragma once

#include "FileStore.h"

namespace slkserver {

// Files under a folder of this machine: DIR/files/ID, DIR/thumbs/ID.png.
class FolderFiles : public FileStore {
public:
    explicit FolderFiles(std::filesystem::path dir) : dir_(std::move(dir)) {}

    bool put(const std::string& key, const std::filesystem::path& local, bool move,
             std::string& error) override;
    std::optional<uint64_t> size(const std::string& key) override;
    bool read(const std::string& key, uint64_t offset, size_t length, std::string& out) override;
    bool readAll(const std::string& key,
                 const std::function<bool(const char*, size_t)>& write) override;
    void remove(const std::string& key) override;
    bool list(const std::string& prefix,
              std::vector<std::pair<std::string, int64_t>>& keys) override;
    std::optional<std::filesystem::path> localPath(const std::string& key) const override {
        return dir_ / key;
    }

private:
    std::filesystem::path dir_;
};

} // namespace slkserver
