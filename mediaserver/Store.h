#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace slkserver {

struct User {
    int64_t id = 0;
    std::string name;
};

struct Upload {
    std::string id;
    int64_t userId = 0;
    std::string name; // sanitised file name as shown and served
    std::string mime;
    int64_t size = 0;
    int64_t created = 0; // Unix seconds
};

struct NowPlaying {
    bool playing = false;
    std::string title, artist, album, source;
    int64_t updated = 0;
};

// Users, tokens (hashed), uploads and now-playing state in SQLite (WAL), and the uploaded
// files under the data directory:
//   DIR/shotlark.db, DIR/files/<id>, DIR/thumbs/<id>.png, DIR/tmp/
// A file is renamed into files/ before its row is committed, and its row is deleted before
// the file: after a crash at most an orphan file is left, which open() sweeps away.
class Store {
public:
    static std::unique_ptr<Store> open(const std::filesystem::path& dataDir, std::string& error);
    ~Store();

    // Creates the user when missing and returns a new upload token ("slk_...") for it.
    std::string issueToken(const std::string& userName);
    std::optional<User> userForToken(const std::string& token);
    std::optional<User> userByName(const std::string& name);

    std::filesystem::path newTemporaryFile() const;
    // Moves `temporary` into place and records the upload; returns false (temporary removed)
    // when that fails. `deletionSecret` is stored hashed.
    bool commitUpload(const Upload& upload, const std::filesystem::path& temporary,
                      const std::string& deletionSecret, std::string& error);
    std::optional<Upload> upload(const std::string& id);
    std::vector<Upload> uploadsOf(int64_t userId);
    // Deletes the upload when `secret` is its deletion secret.
    bool deleteWithSecret(const std::string& id, const std::string& secret);
    // Deletes the upload when it belongs to `userId`.
    bool deleteOwned(const std::string& id, int64_t userId);
    int64_t uploadCount();

    void setNowPlaying(int64_t userId, const NowPlaying& state);
    std::optional<NowPlaying> nowPlaying(int64_t userId);

    std::filesystem::path fileOf(const std::string& id) const { return dir_ / "files" / id; }
    std::filesystem::path thumbnailOf(const std::string& id) const {
        return dir_ / "thumbs" / (id + ".png");
    }
    const std::filesystem::path& dir() const { return dir_; }

private:
    Store(std::filesystem::path dir, sqlite3* db) : dir_(std::move(dir)), db_(db) {}
    bool migrate(std::string& error);
    void sweep();
    void removeFiles(const std::string& id);

    std::filesystem::path dir_;
    sqlite3* db_;
    std::mutex mutex_; // one connection, used by every worker in turn
};

} // namespace slkserver
