#pragma once

#include "RowStore.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct pg_conn PGconn;

namespace slkserver {

// The rows in PostgreSQL, shared by every server pointed at the same database. Locks are
// advisory locks of the database, so they hold across servers; connections are pooled.
class PostgresRows : public RowStore {
public:
    // `conninfo`: a "postgresql://" URI or key=value words, without a password (libpq takes it
    // from PGPASSWORD or a 0600 ~/.pgpass).
    static std::unique_ptr<PostgresRows> open(const std::string& conninfo, std::string& error);
    // Why `conninfo` can't be used (empty when it can): unparsable, or carrying a password.
    static std::string refusal(const std::string& conninfo);
    ~PostgresRows() override;

    bool isShared() const override { return true; }
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

    class Lease;

private:
    explicit PostgresRows(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    Lease lease();
    void giveBack(PGconn* connection);

    const std::string conninfo_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<PGconn*> idle_;
    int open_ = 0;
};

} // namespace slkserver
