#pragma once

// The server's rows (users, tokens, uploads, now playing, dashboard sessions) behind one port,
// kept in SQLite for one server or in PostgreSQL for several sharing them. Every failure of the
// database is an exception: a request that meets one is answered 500.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// A signed-in browser (by the SHA-256 of its cookie) or a one-time sign-in link (by the SHA-256
// of its code). The upload token is kept sealed with a key only the cookie or code gives.
struct SessionRow {
    int64_t userId = 0;
    std::string sealedToken;
    std::string csrf; // sessions only
    std::string next; // sign-in links only: a path of this server
    int64_t expires = 0;
};

struct UserRow {
    int64_t id = 0;
    std::string name;
    int64_t created = 0;
};

struct TokenRow {
    std::string hash;
    int64_t userId = 0;
    int64_t created = 0;
};

class RowStore {
public:
    virtual ~RowStore() = default;

    // Whether other servers may use the same rows at once.
    virtual bool isShared() const = 0;

    virtual void issueToken(const std::string& userName, const std::string& tokenHash) = 0;
    virtual std::optional<User> userForTokenHash(const std::string& hash) = 0;
    virtual std::optional<User> userByName(const std::string& name) = 0;

    // A key whose object is being written: the sweep leaves it alone until it is a day old.
    virtual void addPending(const std::string& key) = 0;
    virtual void dropPending(const std::string& key) = 0;
    virtual std::vector<std::pair<std::string, int64_t>> pending() = 0; // key, created
    // Records the upload, and drops `pendingKey` (when given) in the same transaction.
    virtual void addUpload(const Upload& upload, const std::string& deletionHash,
                           const std::string& pendingKey) = 0;
    virtual std::optional<Upload> upload(const std::string& id) = 0;
    virtual std::vector<Upload> uploadsOf(int64_t userId) = 0;
    virtual std::optional<std::string> deletionHash(const std::string& id) = 0;
    // Deletes the row (only `owner`'s when given); false when there was none.
    virtual bool removeUpload(const std::string& id, std::optional<int64_t> owner) = 0;
    virtual std::vector<std::string> uploadIds() = 0;
    virtual int64_t uploadCount() = 0;

    virtual void setNowPlaying(int64_t userId, const NowPlaying& state, int64_t now) = 0;
    virtual std::optional<NowPlaying> nowPlaying(int64_t userId) = 0;

    virtual void addSession(const std::string& hash, const SessionRow& row, int64_t now) = 0;
    // The session while it lasts; an expired one is deleted.
    virtual std::optional<SessionRow> session(const std::string& hash, int64_t now) = 0;
    virtual void dropSession(const std::string& hash) = 0;
    // False when `limit` links are waiting already.
    virtual bool addSignIn(const std::string& hash, const SessionRow& row, int64_t now,
                           int limit) = 0;
    // The link, taken: a second request for the same code finds nothing, on any server.
    virtual std::optional<SessionRow> takeSignIn(const std::string& hash, int64_t now) = 0;

    // Runs `work` holding the lock `name` among every server on these rows (waits for it).
    virtual void withLock(const std::string& name, const std::function<void()>& work) = 0;
    // Runs `work` only when nobody holds `name`; false when someone did.
    virtual bool ifUnlocked(const std::string& name, const std::function<void()>& work) = 0;

    // Everything, for copying to another store; imports change nothing that is already there.
    virtual std::vector<UserRow> users() = 0;
    virtual std::vector<TokenRow> tokens() = 0;
    virtual std::vector<std::pair<Upload, std::string>> uploadsWithDeletionHashes() = 0;
    virtual std::vector<std::pair<int64_t, NowPlaying>> nowPlayingRows() = 0;
    // False when the id belongs to another name there.
    virtual bool importUser(const UserRow& user) = 0;
    virtual void importToken(const TokenRow& token) = 0;
    virtual void importNowPlaying(int64_t userId, const NowPlaying& state) = 0;
};

} // namespace slkserver
