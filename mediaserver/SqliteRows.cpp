#include "SqliteRows.h"

#include <sqlite3.h>

#include <stdexcept>

namespace slkserver {

namespace {

// A prepared statement; every failure of SQLite becomes an exception for the request.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    // True while there is a row.
    bool step() {
        const int result = sqlite3_step(stmt_);
        if (result == SQLITE_ROW)
            return true;
        if (result == SQLITE_DONE)
            return false;
        throw std::runtime_error(sqlite3_errmsg(db_));
    }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_text(stmt_, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                   static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                     : std::string();
    }
    int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    void check(int result) {
        if (result != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "SQLite failed";
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

// BEGIN IMMEDIATE ... COMMIT, rolled back when the work throws.
template <typename Work> void transaction(sqlite3* db, Work&& work) {
    exec(db, "BEGIN IMMEDIATE");
    try {
        work();
        exec(db, "COMMIT");
    } catch (...) {
        exec(db, "ROLLBACK");
        throw;
    }
}

Upload uploadFrom(const Statement& row) {
    return Upload{row.text(0), row.integer(1), row.text(2),
                  row.text(3), row.integer(4), row.integer(5)};
}

NowPlaying nowPlayingFrom(const Statement& row, int first) {
    return NowPlaying{row.integer(first) != 0, row.text(first + 1), row.text(first + 2),
                      row.text(first + 3),     row.text(first + 4), row.integer(first + 5)};
}

const std::string uploadColumns = "SELECT id, user_id, name, mime, size, created FROM uploads ";

} // namespace

std::unique_ptr<SqliteRows> SqliteRows::open(const std::filesystem::path& file, bool readOnly,
                                             std::string& error) {
    sqlite3* db = nullptr;
    const int flags =
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
        SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = "can't open " + file.string() + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteRows> rows(new SqliteRows(db));
    sqlite3_busy_timeout(db, 5000);
    if (!readOnly && !rows->migrate(error))
        return nullptr;
    return rows;
}

SqliteRows::~SqliteRows() {
    sqlite3_close(db_);
}

bool SqliteRows::migrate(std::string& error) {
    try {
        exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
        exec(db_, R"(
            CREATE TABLE IF NOT EXISTS users (
                id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, created INTEGER NOT NULL);
            CREATE TABLE IF NOT EXISTS tokens (
                hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id), created INTEGER NOT NULL);
            CREATE TABLE IF NOT EXISTS uploads (
                id TEXT PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id), name TEXT NOT NULL,
                mime TEXT NOT NULL, size INTEGER NOT NULL, deletion_hash TEXT NOT NULL,
                created INTEGER NOT NULL);
            CREATE INDEX IF NOT EXISTS uploads_by_user ON uploads(user_id, created);
            CREATE TABLE IF NOT EXISTS now_playing (
                user_id INTEGER PRIMARY KEY REFERENCES users(id), playing INTEGER NOT NULL,
                title TEXT NOT NULL, artist TEXT NOT NULL, album TEXT NOT NULL, source TEXT NOT NULL,
                updated INTEGER NOT NULL);
            CREATE TABLE IF NOT EXISTS sessions (
                hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id),
                sealed_token TEXT NOT NULL, csrf TEXT NOT NULL, expires INTEGER NOT NULL);
            CREATE TABLE IF NOT EXISTS sign_ins (
                hash TEXT PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id),
                sealed_token TEXT NOT NULL, next TEXT NOT NULL, expires INTEGER NOT NULL);
            CREATE TABLE IF NOT EXISTS pending (key TEXT PRIMARY KEY, created INTEGER NOT NULL);
        )");
    } catch (const std::exception& e) {
        error = std::string("can't prepare the database: ") + e.what();
        return false;
    }
    return true;
}

void SqliteRows::issueToken(const std::string& userName, const std::string& tokenHash) {
    std::lock_guard lock(mutex_);
    transaction(db_, [&] {
        Statement(db_, "INSERT OR IGNORE INTO users(name, created) VALUES(?, strftime('%s'))")
            .bind(1, userName)
            .step();
        Statement(db_, "INSERT INTO tokens(hash, user_id, created) "
                       "SELECT ?, id, strftime('%s') FROM users WHERE name = ?")
            .bind(1, tokenHash)
            .bind(2, userName)
            .step();
    });
}

std::optional<User> SqliteRows::userForTokenHash(const std::string& hash) {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT u.id, u.name FROM tokens t JOIN users u ON u.id = t.user_id "
                       "WHERE t.hash = ?");
    row.bind(1, hash);
    if (!row.step())
        return std::nullopt;
    return User{row.integer(0), row.text(1)};
}

std::optional<User> SqliteRows::userByName(const std::string& name) {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT id, name FROM users WHERE name = ?");
    row.bind(1, name);
    if (!row.step())
        return std::nullopt;
    return User{row.integer(0), row.text(1)};
}

void SqliteRows::addPending(const std::string& key) {
    std::lock_guard lock(mutex_);
    Statement(db_, "INSERT OR REPLACE INTO pending(key, created) VALUES(?, strftime('%s'))")
        .bind(1, key)
        .step();
}

void SqliteRows::dropPending(const std::string& key) {
    std::lock_guard lock(mutex_);
    Statement(db_, "DELETE FROM pending WHERE key = ?").bind(1, key).step();
}

std::vector<std::pair<std::string, int64_t>> SqliteRows::pending() {
    std::lock_guard lock(mutex_);
    Statement rows(db_, "SELECT key, created FROM pending");
    std::vector<std::pair<std::string, int64_t>> found;
    while (rows.step())
        found.emplace_back(rows.text(0), rows.integer(1));
    return found;
}

void SqliteRows::addUpload(const Upload& upload, const std::string& deletionHash,
                           const std::string& pendingKey) {
    std::lock_guard lock(mutex_);
    transaction(db_, [&] {
        Statement(db_, "INSERT INTO uploads(id, user_id, name, mime, size, deletion_hash, created) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?)")
            .bind(1, upload.id)
            .bind(2, upload.userId)
            .bind(3, upload.name)
            .bind(4, upload.mime)
            .bind(5, upload.size)
            .bind(6, deletionHash)
            .bind(7, upload.created)
            .step();
        if (!pendingKey.empty())
            Statement(db_, "DELETE FROM pending WHERE key = ?").bind(1, pendingKey).step();
    });
}

std::optional<Upload> SqliteRows::upload(const std::string& id) {
    std::lock_guard lock(mutex_);
    Statement row(db_, uploadColumns + "WHERE id = ?");
    row.bind(1, id);
    if (!row.step())
        return std::nullopt;
    return uploadFrom(row);
}

std::vector<Upload> SqliteRows::uploadsOf(int64_t userId) {
    std::lock_guard lock(mutex_);
    Statement rows(db_, uploadColumns + "WHERE user_id = ? ORDER BY created DESC, rowid DESC");
    rows.bind(1, userId);
    std::vector<Upload> uploads;
    while (rows.step())
        uploads.push_back(uploadFrom(rows));
    return uploads;
}

std::optional<std::string> SqliteRows::deletionHash(const std::string& id) {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT deletion_hash FROM uploads WHERE id = ?");
    row.bind(1, id);
    if (!row.step())
        return std::nullopt;
    return row.text(0);
}

bool SqliteRows::removeUpload(const std::string& id, std::optional<int64_t> owner) {
    std::lock_guard lock(mutex_);
    Statement remove(db_, owner ? "DELETE FROM uploads WHERE id = ? AND user_id = ?"
                                : "DELETE FROM uploads WHERE id = ?");
    remove.bind(1, id);
    if (owner)
        remove.bind(2, *owner);
    remove.step();
    return sqlite3_changes(db_) > 0;
}

std::vector<std::string> SqliteRows::uploadIds() {
    std::lock_guard lock(mutex_);
    Statement rows(db_, "SELECT id FROM uploads");
    std::vector<std::string> ids;
    while (rows.step())
        ids.push_back(rows.text(0));
    return ids;
}

int64_t SqliteRows::uploadCount() {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT COUNT(*) FROM uploads");
    row.step();
    return row.integer(0);
}

void SqliteRows::setNowPlaying(int64_t userId, const NowPlaying& state, int64_t now) {
    std::lock_guard lock(mutex_);
    Statement(db_, "INSERT OR REPLACE INTO now_playing(user_id, playing, title, artist, album, "
                   "source, updated) VALUES(?, ?, ?, ?, ?, ?, ?)")
        .bind(1, userId)
        .bind(2, int64_t(state.playing))
        .bind(3, state.title)
        .bind(4, state.artist)
        .bind(5, state.album)
        .bind(6, state.source)
        .bind(7, now)
        .step();
}

std::optional<NowPlaying> SqliteRows::nowPlaying(int64_t userId) {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT playing, title, artist, album, source, updated FROM now_playing "
                       "WHERE user_id = ?");
    row.bind(1, userId);
    if (!row.step())
        return std::nullopt;
    return nowPlayingFrom(row, 0);
}

void SqliteRows::addSession(const std::string& hash, const SessionRow& row, int64_t now) {
    std::lock_guard lock(mutex_);
    transaction(db_, [&] {
        Statement(db_, "DELETE FROM sessions WHERE expires < ?").bind(1, now).step();
        Statement(db_, "INSERT OR REPLACE INTO sessions(hash, user_id, sealed_token, csrf, "
                       "expires) VALUES(?, ?, ?, ?, ?)")
            .bind(1, hash)
            .bind(2, row.userId)
            .bind(3, row.sealedToken)
            .bind(4, row.csrf)
            .bind(5, row.expires)
            .step();
    });
}

std::optional<SessionRow> SqliteRows::session(const std::string& hash, int64_t now) {
    std::lock_guard lock(mutex_);
    Statement found(db_,
                    "SELECT user_id, sealed_token, csrf, expires FROM sessions WHERE hash = ?");
    found.bind(1, hash);
    if (!found.step())
        return std::nullopt;
    SessionRow row{found.integer(0), found.text(1), found.text(2), {}, found.integer(3)};
    if (row.expires < now) {
        Statement(db_, "DELETE FROM sessions WHERE hash = ?").bind(1, hash).step();
        return std::nullopt;
    }
    return row;
}

void SqliteRows::dropSession(const std::string& hash) {
    std::lock_guard lock(mutex_);
    Statement(db_, "DELETE FROM sessions WHERE hash = ?").bind(1, hash).step();
}

bool SqliteRows::addSignIn(const std::string& hash, const SessionRow& row, int64_t now, int limit) {
    std::lock_guard lock(mutex_);
    bool added = false;
    transaction(db_, [&] {
        Statement(db_, "DELETE FROM sign_ins WHERE expires < ?").bind(1, now).step();
        Statement count(db_, "SELECT COUNT(*) FROM sign_ins");
        count.step();
        if (count.integer(0) >= limit)
            return;
        Statement(db_, "INSERT INTO sign_ins(hash, user_id, sealed_token, next, expires) "
                       "VALUES(?, ?, ?, ?, ?)")
            .bind(1, hash)
            .bind(2, row.userId)
            .bind(3, row.sealedToken)
            .bind(4, row.next)
            .bind(5, row.expires)
            .step();
        added = true;
    });
    return added;
}

std::optional<SessionRow> SqliteRows::takeSignIn(const std::string& hash, int64_t now) {
    std::lock_guard lock(mutex_);
    std::optional<SessionRow> taken;
    transaction(db_, [&] {
        Statement found(db_,
                        "SELECT user_id, sealed_token, next, expires FROM sign_ins WHERE hash = ?");
        found.bind(1, hash);
        if (!found.step())
            return;
        taken = SessionRow{found.integer(0), found.text(1), {}, found.text(2), found.integer(3)};
        Statement(db_, "DELETE FROM sign_ins WHERE hash = ?").bind(1, hash).step();
    });
    if (taken && taken->expires < now)
        return std::nullopt;
    return taken;
}

std::shared_ptr<std::mutex> SqliteRows::lockNamed(const std::string& name) {
    std::lock_guard lock(locksMutex_);
    for (auto it = locks_.begin(); it != locks_.end();)
        it = it->second.expired() ? locks_.erase(it) : std::next(it);
    auto& slot = locks_[name];
    auto named = slot.lock();
    if (!named) {
        named = std::make_shared<std::mutex>();
        slot = named;
    }
    return named;
}

void SqliteRows::withLock(const std::string& name, const std::function<void()>& work) {
    const auto named = lockNamed(name);
    std::lock_guard lock(*named);
    work();
}

bool SqliteRows::ifUnlocked(const std::string& name, const std::function<void()>& work) {
    const auto named = lockNamed(name);
    std::unique_lock lock(*named, std::try_to_lock);
    if (!lock)
        return false;
    work();
    return true;
}

std::vector<UserRow> SqliteRows::users() {
    std::lock_guard lock(mutex_);
    Statement rows(db_, "SELECT id, name, created FROM users ORDER BY id");
    std::vector<UserRow> found;
    while (rows.step())
        found.push_back({rows.integer(0), rows.text(1), rows.integer(2)});
    return found;
}

std::vector<TokenRow> SqliteRows::tokens() {
    std::lock_guard lock(mutex_);
    Statement rows(db_, "SELECT hash, user_id, created FROM tokens");
    std::vector<TokenRow> found;
    while (rows.step())
        found.push_back({rows.text(0), rows.integer(1), rows.integer(2)});
    return found;
}

std::vector<std::pair<Upload, std::string>> SqliteRows::uploadsWithDeletionHashes() {
    std::lock_guard lock(mutex_);
    // Oldest first, so that a copy lists them in the same order.
    Statement rows(db_, "SELECT id, user_id, name, mime, size, created, deletion_hash FROM uploads "
                        "ORDER BY created, rowid");
    std::vector<std::pair<Upload, std::string>> found;
    while (rows.step())
        found.emplace_back(uploadFrom(rows), rows.text(6));
    return found;
}

std::vector<std::pair<int64_t, NowPlaying>> SqliteRows::nowPlayingRows() {
    std::lock_guard lock(mutex_);
    Statement rows(db_, "SELECT user_id, playing, title, artist, album, source, updated "
                        "FROM now_playing");
    std::vector<std::pair<int64_t, NowPlaying>> found;
    while (rows.step())
        found.emplace_back(rows.integer(0), nowPlayingFrom(rows, 1));
    return found;
}

bool SqliteRows::importUser(const UserRow& user) {
    std::lock_guard lock(mutex_);
    Statement(db_, "INSERT OR IGNORE INTO users(id, name, created) VALUES(?, ?, ?)")
        .bind(1, user.id)
        .bind(2, user.name)
        .bind(3, user.created)
        .step();
    Statement row(db_, "SELECT name FROM users WHERE id = ?");
    row.bind(1, user.id);
    return row.step() && row.text(0) == user.name;
}

void SqliteRows::importToken(const TokenRow& token) {
    std::lock_guard lock(mutex_);
    Statement(db_, "INSERT OR IGNORE INTO tokens(hash, user_id, created) VALUES(?, ?, ?)")
        .bind(1, token.hash)
        .bind(2, token.userId)
        .bind(3, token.created)
        .step();
}

void SqliteRows::importNowPlaying(int64_t userId, const NowPlaying& state) {
    std::lock_guard lock(mutex_);
    Statement(db_, "INSERT OR IGNORE INTO now_playing(user_id, playing, title, artist, album, "
                   "source, updated) VALUES(?, ?, ?, ?, ?, ?, ?)")
        .bind(1, userId)
        .bind(2, int64_t(state.playing))
        .bind(3, state.title)
        .bind(4, state.artist)
        .bind(5, state.album)
        .bind(6, state.source)
        .bind(7, state.updated)
        .step();
}

} // namespace slkserver
