#include "Store.h"

#include "Crypto.h"

#include <sqlite3.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

namespace slkserver {

namespace fs = std::filesystem;

namespace {

int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A prepared statement; every failure of SQLite becomes an exception for the request.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
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

Upload uploadFrom(const Statement& row) {
    return Upload{row.text(0), row.integer(1), row.text(2),
                  row.text(3), row.integer(4), row.integer(5)};
}

constexpr const char* uploadColumns = "SELECT id, user_id, name, mime, size, created FROM uploads ";

} // namespace

std::unique_ptr<Store> Store::open(const fs::path& dataDir, std::string& error) {
    std::error_code ec;
    for (const char* sub : {"files", "thumbs", "tmp"}) {
        fs::create_directories(dataDir / sub, ec);
        if (ec) {
            error = "can't create " + (dataDir / sub).string() + ": " + ec.message();
            return nullptr;
        }
    }
    ::chmod(dataDir.c_str(), 0700);
    sqlite3* db = nullptr;
    const std::string path = (dataDir / "shotlark.db").string();
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "can't open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store(dataDir, db));
    if (!store->migrate(error))
        return nullptr;
    store->sweep();
    return store;
}

Store::~Store() {
    sqlite3_close(db_);
}

bool Store::migrate(std::string& error) {
    try {
        sqlite3_busy_timeout(db_, 5000);
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
        )");
    } catch (const std::exception& e) {
        error = std::string("can't prepare the database: ") + e.what();
        return false;
    }
    return true;
}

void Store::sweep() {
    // Files whose row never got committed, and bodies of requests that never finished.
    std::set<std::string> known;
    {
        std::lock_guard lock(mutex_);
        Statement ids(db_, "SELECT id FROM uploads");
        while (ids.step())
            known.insert(ids.text(0));
    }
    std::error_code ec;
    for (const char* sub : {"files", "thumbs"}) {
        for (const auto& entry : fs::directory_iterator(dir_ / sub, ec)) {
            if (!known.count(entry.path().stem().string()))
                fs::remove(entry.path(), ec);
        }
    }
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp", ec))
        fs::remove(entry.path(), ec);
}

std::string Store::issueToken(const std::string& userName) {
    const std::string token = "slk_" + randomHex(24);
    std::lock_guard lock(mutex_);
    exec(db_, "BEGIN IMMEDIATE");
    try {
        Statement(db_, "INSERT OR IGNORE INTO users(name, created) VALUES(?, ?)")
            .bind(1, userName)
            .bind(2, now())
            .step();
        Statement(
            db_,
            "INSERT INTO tokens(hash, user_id, created) SELECT ?, id, ? FROM users WHERE name = ?")
            .bind(1, sha256Hex(token))
            .bind(2, now())
            .bind(3, userName)
            .step();
        exec(db_, "COMMIT");
    } catch (...) {
        exec(db_, "ROLLBACK");
        throw;
    }
    return token;
}

std::optional<User> Store::userForToken(const std::string& token) {
    // Only the hash is stored and looked up; the comparison of the found hash is constant-time.
    const std::string hash = sha256Hex(token);
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT t.hash, u.id, u.name FROM tokens t JOIN users u ON u.id = t.user_id "
                       "WHERE t.hash = ?");
    row.bind(1, hash);
    if (!row.step() || !constantTimeEquals(row.text(0), hash))
        return std::nullopt;
    return User{row.integer(1), row.text(2)};
}

std::optional<User> Store::userByName(const std::string& name) {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT id, name FROM users WHERE name = ?");
    row.bind(1, name);
    if (!row.step())
        return std::nullopt;
    return User{row.integer(0), row.text(1)};
}

fs::path Store::newTemporaryFile() const {
    return dir_ / "tmp" / (randomHex(16) + ".part");
}

bool Store::commitUpload(const Upload& upload, const fs::path& temporary,
                         const std::string& deletionSecret, std::string& error) {
    std::error_code ec;
    fs::rename(temporary, fileOf(upload.id), ec);
    if (ec) {
        fs::remove(temporary, ec);
        error = "can't store the file";
        return false;
    }
    try {
        std::lock_guard lock(mutex_);
        Statement(db_, "INSERT INTO uploads(id, user_id, name, mime, size, deletion_hash, created) "
                       "VALUES(?, ?, ?, ?, ?, ?, ?)")
            .bind(1, upload.id)
            .bind(2, upload.userId)
            .bind(3, upload.name)
            .bind(4, upload.mime)
            .bind(5, upload.size)
            .bind(6, sha256Hex(deletionSecret))
            .bind(7, upload.created)
            .step();
    } catch (const std::exception& e) {
        fs::remove(fileOf(upload.id), ec);
        error = std::string("can't record the upload: ") + e.what();
        return false;
    }
    return true;
}

std::optional<Upload> Store::upload(const std::string& id) {
    std::lock_guard lock(mutex_);
    Statement row(db_, (std::string(uploadColumns) + "WHERE id = ?").c_str());
    row.bind(1, id);
    if (!row.step())
        return std::nullopt;
    return uploadFrom(row);
}

std::vector<Upload> Store::uploadsOf(int64_t userId) {
    std::lock_guard lock(mutex_);
    Statement rows(
        db_, (std::string(uploadColumns) + "WHERE user_id = ? ORDER BY created DESC, rowid DESC")
                 .c_str());
    rows.bind(1, userId);
    std::vector<Upload> uploads;
    while (rows.step())
        uploads.push_back(uploadFrom(rows));
    return uploads;
}

bool Store::deleteWithSecret(const std::string& id, const std::string& secret) {
    {
        std::lock_guard lock(mutex_);
        Statement row(db_, "SELECT deletion_hash FROM uploads WHERE id = ?");
        row.bind(1, id);
        if (!row.step() || !constantTimeEquals(row.text(0), sha256Hex(secret)))
            return false;
        Statement(db_, "DELETE FROM uploads WHERE id = ?").bind(1, id).step();
    }
    removeFiles(id);
    return true;
}

bool Store::deleteOwned(const std::string& id, int64_t userId) {
    {
        std::lock_guard lock(mutex_);
        Statement remove(db_, "DELETE FROM uploads WHERE id = ? AND user_id = ?");
        remove.bind(1, id).bind(2, userId).step();
        if (sqlite3_changes(db_) == 0)
            return false;
    }
    removeFiles(id);
    return true;
}

void Store::removeFiles(const std::string& id) {
    std::error_code ec;
    fs::remove(fileOf(id), ec);
    fs::remove(thumbnailOf(id), ec);
}

int64_t Store::uploadCount() {
    std::lock_guard lock(mutex_);
    Statement row(db_, "SELECT COUNT(*) FROM uploads");
    row.step();
    return row.integer(0);
}

void Store::setNowPlaying(int64_t userId, const NowPlaying& state) {
    std::lock_guard lock(mutex_);
    Statement(db_, "INSERT OR REPLACE INTO now_playing(user_id, playing, title, artist, album, "
                   "source, updated) "
                   "VALUES(?, ?, ?, ?, ?, ?, ?)")
        .bind(1, userId)
        .bind(2, int64_t(state.playing))
        .bind(3, state.title)
        .bind(4, state.artist)
        .bind(5, state.album)
        .bind(6, state.source)
        .bind(7, now())
        .step();
}

std::optional<NowPlaying> Store::nowPlaying(int64_t userId) {
    std::lock_guard lock(mutex_);
    Statement row(
        db_,
        "SELECT playing, title, artist, album, source, updated FROM now_playing WHERE user_id = ?");
    row.bind(1, userId);
    if (!row.step())
        return std::nullopt;
    return NowPlaying{row.integer(0) != 0, row.text(1), row.text(2),
                      row.text(3),         row.text(4), row.integer(5)};
}

} // namespace slkserver
