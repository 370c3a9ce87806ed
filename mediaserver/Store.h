#pragma once

#include "FileStore.h"
#include "RowStore.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace slkserver {

struct StoreOptions {
    std::filesystem::path dataDir; // this server's own folder: temporary files, and by default
                                   // the database (shotlark.db) and the files (files/, thumbs/)
    std::string database;          // "postgresql://..." (empty: SQLite in dataDir)
    std::string storage;           // "s3://BUCKET?..." (empty: dataDir)
    std::optional<std::filesystem::path> storageCredentials;
};

// A dashboard session or a one-time sign-in, with its upload token unsealed.
struct Session {
    int64_t userId = 0;
    std::string token;
    std::string csrf;
    std::string next;
    int64_t expires = 0;
};

// Users, tokens (hashed), uploads, sessions and now-playing state (the rows), and the uploaded
// files and thumbnails (the objects). An object is stored before its row is committed, and its
// row is deleted before the object: after a crash at most an orphan object is left, which the
// sweep at the start removes. Where several servers share the rows, an object being stored is
// recorded as pending first, so that another server's sweep leaves it alone.
class Store {
public:
    enum class Use { Serve, Administer };
    // Serve: takes the data folder for this server alone and sweeps what crashes left.
    static std::unique_ptr<Store> open(const StoreOptions& options, Use use, std::string& error);
    // A server's folder (SQLite and files), read only, for copying from.
    static std::unique_ptr<Store> openForReading(const std::filesystem::path& dataDir,
                                                 std::string& error);
    ~Store();

    // Creates the user when missing and returns a new upload token ("slk_...") for it.
    std::string issueToken(const std::string& userName);
    std::optional<User> userForToken(const std::string& token);
    std::optional<User> userByName(const std::string& name) { return rows_->userByName(name); }

    std::filesystem::path newTemporaryFile() const;
    // Stores `temporary` (removed either way) and records the upload; false when that fails,
    // leaving nothing of it. `deletionSecret` is stored hashed.
    bool commitUpload(const Upload& upload, const std::filesystem::path& temporary,
                      const std::string& deletionSecret, std::string& error);
    std::optional<Upload> upload(const std::string& id) { return rows_->upload(id); }
    std::vector<Upload> uploadsOf(int64_t userId) { return rows_->uploadsOf(userId); }
    // Deletes the upload when `secret` is its deletion secret.
    bool deleteWithSecret(const std::string& id, const std::string& secret);
    // Deletes the upload when it belongs to `userId`.
    bool deleteOwned(const std::string& id, int64_t userId);
    int64_t uploadCount() { return rows_->uploadCount(); }

    void setNowPlaying(int64_t userId, const NowPlaying& state);
    std::optional<NowPlaying> nowPlaying(int64_t userId) { return rows_->nowPlaying(userId); }

    // Sessions by the browser's cookie, sign-ins by their code: only their hashes are stored,
    // and the token is sealed with a key the cookie or code gives.
    void startSession(const std::string& cookie, const Session& session);
    std::optional<Session> session(const std::string& cookie);
    void endSession(const std::string& cookie);
    bool addSignIn(const std::string& code, const Session& signIn, int limit);
    std::optional<Session> takeSignIn(const std::string& code);

    static std::string fileKey(const std::string& id) { return "files/" + id; }
    static std::string thumbnailKey(const std::string& id) { return "thumbs/" + id + ".png"; }
    // The thumbnail, made by `make` from the upload's file (a path to read) when there is none
    // yet: made once, whichever server asks first; the others wait and take it. Empty when the
    // file is gone.
    std::string thumbnail(const Upload& upload,
                          const std::function<std::string(const std::filesystem::path&)>& make);

    FileStore& files() { return *files_; }
    RowStore& rows() { return *rows_; }
    const std::filesystem::path& dir() const { return dir_; }

private:
    Store(std::filesystem::path dir, std::unique_ptr<RowStore> rows,
          std::unique_ptr<FileStore> files)
        : dir_(std::move(dir)), rows_(std::move(rows)), files_(std::move(files)) {}
    void sweep();
    void removeObjects(const std::string& id);

    std::filesystem::path dir_;
    std::unique_ptr<RowStore> rows_;
    std::unique_ptr<FileStore> files_;
    int lockFd_ = -1;
};

} // namespace slkserver
