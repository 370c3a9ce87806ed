#pragma once

#include "RowStore.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;

namespace slkserver {

// The rows in one SQLite file (WAL), for one server: its locks are the process's own.
class SqliteRows : public RowStore {
public:
    // `readOnly`: for copying from, creating nothing (not even the tables).
    static std::unique_ptr<SqliteRows> open(const std::filesystem::path& file, bool readOnly,
                                            std::string& error);
    ~SqliteRows() override;

    bool isShared() const override { return false; }
    void issueToken(const std::string& userName, const std::string& tokenHash) override;
    std::optional<User> userForTokenHash(const std::string& hash) override;
    std::optional<User> userByName(const std::string& name) override;
    void addPending(const std::string& key) override;
    void dropPending(const std::string& key) override;
    std::vector<std::pair<std::string, int64_t>> pending() override;
    void addUpload(const Upload& upload, const std::string& deletionHash,
                   const std::string& pendingKey) override;
    std::optional<Upload> upload(const std::string& id) override;
    std::vector<Upload> uploadsOf(int64_t userId) override;
    std::optional<std::string> deletionHash(const std::string& id) override;
    bool removeUpload(const std::string& id, std::optional<int64_t> owner) override;
    std::vector<std::string> uploadIds() override;
    int64_t uploadCount() override;
    void setNowPlaying(int64_t userId, const NowPlaying& state, int64_t now) override;
    std::optional<NowPlaying> nowPlaying(int64_t userId) override;
    void addSession(const std::string& hash, const SessionRow& row, int64_t now) override;
    std::optional<SessionRow> session(const std::string& hash, int64_t now) override;
    void dropSession(const std::string& hash) override;
    bool addSignIn(const std::string& hash, const SessionRow& row, int64_t now, int limit) override;
    std::optional<SessionRow> takeSignIn(const std::string& hash, int64_t now) override;
    void withLock(const std::string& name, const std::function<void()>& work) override;
    bool ifUnlocked(const std::string& name, const std::function<void()>& work) override;
    std::vector<UserRow> users() override;
    std::vector<TokenRow> tokens() override;
    std::vector<std::pair<Upload, std::string>> uploadsWithDeletionHashes() override;
    std::vector<std::pair<int64_t, NowPlaying>> nowPlayingRows() override;
    bool importUser(const UserRow& user) override;
    void importToken(const TokenRow& token) override;
    void importNowPlaying(int64_t userId, const NowPlaying& state) override;

private:
    explicit SqliteRows(sqlite3* db) : db_(db) {}
    bool migrate(std::string& error);
    std::shared_ptr<std::mutex> lockNamed(const std::string& name);

    sqlite3* db_;
    std::mutex mutex_; // one connection, used by every worker in turn
    std::mutex locksMutex_;
    std::map<std::string, std::weak_ptr<std::mutex>> locks_;
};

} // namespace slkserver
