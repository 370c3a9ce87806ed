#include "PostgresRows.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <stdexcept>

namespace slkserver {

namespace {

// How many connections one server opens at most; a request needs one, two while it holds a lock.
constexpr int poolSize = 24;

class Result {
public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    int rows() const { return PQntuples(result_); }
    std::string text(int row, int column) const {
        return std::string(PQgetvalue(result_, row, column),
                           static_cast<size_t>(PQgetlength(result_, row, column)));
    }
    int64_t integer(int row, int column) const {
        return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
    }
    bool boolean(int row, int column) const { return text(row, column) == "t"; }
    int64_t affected() const { return std::strtoll(PQcmdTuples(result_), nullptr, 10); }
    bool succeeded() const {
        const ExecStatusType status = PQresultStatus(result_);
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }

private:
    PGresult* result_;
};

Upload uploadFrom(const Result& rows, int row) {
    return Upload{rows.text(row, 0), rows.integer(row, 1), rows.text(row, 2),
                  rows.text(row, 3), rows.integer(row, 4), rows.integer(row, 5)};
}

NowPlaying nowPlayingFrom(const Result& rows, int row, int first) {
    return NowPlaying{rows.boolean(row, first),  rows.text(row, first + 1),
                      rows.text(row, first + 2), rows.text(row, first + 3),
                      rows.text(row, first + 4), rows.integer(row, first + 5)};
}

std::string number(int64_t value) {
    return std::to_string(value);
}

const std::string uploadColumns = "SELECT id, user_id, name, mime, size, created FROM uploads ";
const std::string nowSeconds = "EXTRACT(EPOCH FROM now())::bigint";

} // namespace

// A connection of the pool, given back when it goes out of scope.
class PostgresRows::Lease {
public:
    Lease(PostgresRows& owner, PGconn* connection) : owner_(owner), connection_(connection) {}
    ~Lease() { owner_.giveBack(connection_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Result run(const std::string& sql, const std::vector<std::string>& params = {}) {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const std::string& param : params)
            values.push_back(param.c_str());
        Result result(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()),
                                   nullptr, values.data(), nullptr, nullptr, 0));
        if (!result.succeeded())
            throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(connection_));
        return result;
    }

    // Several statements, without parameters.
    void script(const char* sql) {
        const Result result(PQexec(connection_, sql));
        if (!result.succeeded())
            throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(connection_));
    }

    // BEGIN ... COMMIT around `work`, rolled back when it throws.
    template <typename Work> void transaction(Work&& work) {
        run("BEGIN");
        try {
            work();
            run("COMMIT");
        } catch (...) {
            PQclear(PQexec(connection_, "ROLLBACK"));
            throw;
        }
    }

private:
    PostgresRows& owner_;
    PGconn* connection_;
};

std::string PostgresRows::refusal(const std::string& conninfo) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &message);
    if (!options) {
        std::string text = message ? message : "out of memory";
        PQfreemem(message);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return "--database: " + text;
    }
    std::string refusal;
    for (auto* option = options; option->keyword; ++option) {
        if (std::string(option->keyword) == "password" && option->val && *option->val)
            refusal = "--database carries a password, which every local user could read on the "
                      "command line: put it in PGPASSWORD or a 0600 ~/.pgpass instead";
    }
    PQconninfoFree(options);
    return refusal;
}

std::unique_ptr<PostgresRows> PostgresRows::open(const std::string& conninfo, std::string& error) {
    error = refusal(conninfo);
    if (!error.empty())
        return nullptr;
    std::unique_ptr<PostgresRows> rows(new PostgresRows(conninfo));
    try {
        auto connection = rows->lease();
        // Servers starting together: one creates the tables, the others wait for it.
        connection.transaction([&] {
            connection.run("SELECT pg_advisory_xact_lock(7315001)");
            connection.script(R"(
                SET client_min_messages = warning;
                CREATE TABLE IF NOT EXISTS users (
                    id BIGSERIAL PRIMARY KEY, name TEXT NOT NULL UNIQUE, created BIGINT NOT NULL);
                CREATE TABLE IF NOT EXISTS tokens (
                    hash TEXT PRIMARY KEY, user_id BIGINT NOT NULL REFERENCES users(id),
                    created BIGINT NOT NULL);
                CREATE TABLE IF NOT EXISTS uploads (
                    id TEXT PRIMARY KEY, seq BIGSERIAL NOT NULL,
                    user_id BIGINT NOT NULL REFERENCES users(id), name TEXT NOT NULL,
                    mime TEXT NOT NULL, size BIGINT NOT NULL, deletion_hash TEXT NOT NULL,
                    created BIGINT NOT NULL);
                CREATE INDEX IF NOT EXISTS uploads_by_user ON uploads(user_id, created);
                CREATE TABLE IF NOT EXISTS now_playing (
                    user_id BIGINT PRIMARY KEY REFERENCES users(id), playing BOOLEAN NOT NULL,
                    title TEXT NOT NULL, artist TEXT NOT NULL, album TEXT NOT NULL,
                    source TEXT NOT NULL, updated BIGINT NOT NULL);
                CREATE TABLE IF NOT EXISTS sessions (
                    hash TEXT PRIMARY KEY, user_id BIGINT NOT NULL REFERENCES users(id),
                    sealed_token TEXT NOT NULL, csrf TEXT NOT NULL, expires BIGINT NOT NULL);
                CREATE TABLE IF NOT EXISTS sign_ins (
                    hash TEXT PRIMARY KEY, user_id BIGINT NOT NULL REFERENCES users(id),
                    sealed_token TEXT NOT NULL, next TEXT NOT NULL, expires BIGINT NOT NULL);
                CREATE TABLE IF NOT EXISTS pending (key TEXT PRIMARY KEY, created BIGINT NOT NULL);
            )");
        });
    } catch (const std::exception& e) {
        error = std::string("can't prepare the database: ") + e.what();
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        return nullptr;
    }
    return rows;
}

PostgresRows::~PostgresRows() {
    for (PGconn* connection : idle_)
        PQfinish(connection);
}

PostgresRows::Lease PostgresRows::lease() {
    std::unique_lock lock(mutex_);
    returned_.wait(lock, [this] { return !idle_.empty() || open_ < poolSize; });
    PGconn* connection = nullptr;
    if (!idle_.empty()) {
        connection = idle_.back();
        idle_.pop_back();
    } else {
        ++open_;
    }
    lock.unlock();
    if (!connection) {
        // A database that doesn't answer fails the request in seconds, not at TCP's pace; the
        // address's own connect_timeout, given later, wins.
        const char* keywords[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {"10", conninfo_.c_str(), nullptr};
        connection = PQconnectdbParams(keywords, values, 1);
    } else if (PQstatus(connection) != CONNECTION_OK) {
        PQreset(connection); // the database restarted, or the network dropped the connection
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        std::string message = std::string("PostgreSQL: ") + PQerrorMessage(connection);
        PQfinish(connection);
        std::lock_guard again(mutex_);
        --open_;
        returned_.notify_one();
        throw std::runtime_error(message);
    }
    return Lease(*this, connection);
}

void PostgresRows::giveBack(PGconn* connection) {
    std::lock_guard lock(mutex_);
    idle_.push_back(connection);
    returned_.notify_one();
}

void PostgresRows::issueToken(const std::string& userName, const std::string& tokenHash) {
    auto db = lease();
    db.transaction([&] {
        db.run("INSERT INTO users(name, created) VALUES($1, " + nowSeconds +
                   ") ON CONFLICT (name) DO NOTHING",
               {userName});
        db.run("INSERT INTO tokens(hash, user_id, created) SELECT $1, id, " + nowSeconds +
                   " FROM users WHERE name = $2",
               {tokenHash, userName});
    });
}

std::optional<User> PostgresRows::userForTokenHash(const std::string& hash) {
    const Result row = lease().run(
        "SELECT u.id, u.name FROM tokens t JOIN users u ON u.id = t.user_id WHERE t.hash = $1",
        {hash});
    if (row.rows() == 0)
        return std::nullopt;
    return User{row.integer(0, 0), row.text(0, 1)};
}

std::optional<User> PostgresRows::userByName(const std::string& name) {
    const Result row = lease().run("SELECT id, name FROM users WHERE name = $1", {name});
    if (row.rows() == 0)
        return std::nullopt;
    return User{row.integer(0, 0), row.text(0, 1)};
}

void PostgresRows::addPending(const std::string& key) {
    lease().run("INSERT INTO pending(key, created) VALUES($1, " + nowSeconds +
                    ") ON CONFLICT (key) DO UPDATE SET created = EXCLUDED.created",
                {key});
}

void PostgresRows::dropPending(const std::string& key) {
    lease().run("DELETE FROM pending WHERE key = $1", {key});
}

std::vector<std::pair<std::string, int64_t>> PostgresRows::pending() {
    const Result rows = lease().run("SELECT key, created FROM pending");
    std::vector<std::pair<std::string, int64_t>> found;
    for (int i = 0; i < rows.rows(); ++i)
        found.emplace_back(rows.text(i, 0), rows.integer(i, 1));
    return found;
}

void PostgresRows::addUpload(const Upload& upload, const std::string& deletionHash,
                             const std::string& pendingKey) {
    auto db = lease();
    db.transaction([&] {
        db.run("INSERT INTO uploads(id, user_id, name, mime, size, deletion_hash, created) "
               "VALUES($1, $2, $3, $4, $5, $6, $7)",
               {upload.id, number(upload.userId), upload.name, upload.mime, number(upload.size),
                deletionHash, number(upload.created)});
        if (!pendingKey.empty())
            db.run("DELETE FROM pending WHERE key = $1", {pendingKey});
    });
}

std::optional<Upload> PostgresRows::upload(const std::string& id) {
    const Result row = lease().run(uploadColumns + "WHERE id = $1", {id});
    if (row.rows() == 0)
        return std::nullopt;
    return uploadFrom(row, 0);
}

std::vector<Upload> PostgresRows::uploadsOf(int64_t userId) {
    const Result rows = lease().run(
        uploadColumns + "WHERE user_id = $1 ORDER BY created DESC, seq DESC", {number(userId)});
    std::vector<Upload> uploads;
    for (int i = 0; i < rows.rows(); ++i)
        uploads.push_back(uploadFrom(rows, i));
    return uploads;
}

std::optional<std::string> PostgresRows::deletionHash(const std::string& id) {
    const Result row = lease().run("SELECT deletion_hash FROM uploads WHERE id = $1", {id});
    if (row.rows() == 0)
        return std::nullopt;
    return row.text(0, 0);
}

bool PostgresRows::removeUpload(const std::string& id, std::optional<int64_t> owner) {
    const Result done = owner ? lease().run("DELETE FROM uploads WHERE id = $1 AND user_id = $2",
                                            {id, number(*owner)})
                              : lease().run("DELETE FROM uploads WHERE id = $1", {id});
    return done.affected() > 0;
}

std::vector<std::string> PostgresRows::uploadIds() {
    const Result rows = lease().run("SELECT id FROM uploads");
    std::vector<std::string> ids;
    for (int i = 0; i < rows.rows(); ++i)
        ids.push_back(rows.text(i, 0));
    return ids;
}

int64_t PostgresRows::uploadCount() {
    return lease().run("SELECT COUNT(*) FROM uploads").integer(0, 0);
}

void PostgresRows::setNowPlaying(int64_t userId, const NowPlaying& state, int64_t now) {
    lease().run("INSERT INTO now_playing(user_id, playing, title, artist, album, source, updated) "
                "VALUES($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (user_id) DO UPDATE SET "
                "playing = EXCLUDED.playing, title = EXCLUDED.title, artist = EXCLUDED.artist, "
                "album = EXCLUDED.album, source = EXCLUDED.source, updated = EXCLUDED.updated",
                {number(userId), state.playing ? "t" : "f", state.title, state.artist, state.album,
                 state.source, number(now)});
}

std::optional<NowPlaying> PostgresRows::nowPlaying(int64_t userId) {
    const Result row = lease().run("SELECT playing, title, artist, album, source, updated "
                                   "FROM now_playing WHERE user_id = $1",
                                   {number(userId)});
    if (row.rows() == 0)
        return std::nullopt;
    return nowPlayingFrom(row, 0, 0);
}

void PostgresRows::addSession(const std::string& hash, const SessionRow& row, int64_t now) {
    auto db = lease();
    db.run("DELETE FROM sessions WHERE expires < $1", {number(now)});
    db.run("INSERT INTO sessions(hash, user_id, sealed_token, csrf, expires) "
           "VALUES($1, $2, $3, $4, $5) ON CONFLICT (hash) DO NOTHING",
           {hash, number(row.userId), row.sealedToken, row.csrf, number(row.expires)});
}

std::optional<SessionRow> PostgresRows::session(const std::string& hash, int64_t now) {
    auto db = lease();
    const Result found =
        db.run("SELECT user_id, sealed_token, csrf, expires FROM sessions WHERE hash = $1", {hash});
    if (found.rows() == 0)
        return std::nullopt;
    SessionRow row{
        found.integer(0, 0), found.text(0, 1), found.text(0, 2), {}, found.integer(0, 3)};
    if (row.expires < now) {
        db.run("DELETE FROM sessions WHERE hash = $1", {hash});
        return std::nullopt;
    }
    return row;
}

void PostgresRows::dropSession(const std::string& hash) {
    lease().run("DELETE FROM sessions WHERE hash = $1", {hash});
}

bool PostgresRows::addSignIn(const std::string& hash, const SessionRow& row, int64_t now,
                             int limit) {
    auto db = lease();
    bool added = false;
    db.transaction([&] {
        db.run("DELETE FROM sign_ins WHERE expires < $1", {number(now)});
        if (db.run("SELECT COUNT(*) FROM sign_ins").integer(0, 0) >= limit)
            return;
        db.run("INSERT INTO sign_ins(hash, user_id, sealed_token, next, expires) "
               "VALUES($1, $2, $3, $4, $5)",
               {hash, number(row.userId), row.sealedToken, row.next, number(row.expires)});
        added = true;
    });
    return added;
}

std::optional<SessionRow> PostgresRows::takeSignIn(const std::string& hash, int64_t now) {
    const Result taken = lease().run("DELETE FROM sign_ins WHERE hash = $1 "
                                     "RETURNING user_id, sealed_token, next, expires",
                                     {hash});
    if (taken.rows() == 0 || taken.integer(0, 3) < now)
        return std::nullopt;
    return SessionRow{
        taken.integer(0, 0), taken.text(0, 1), {}, taken.text(0, 2), taken.integer(0, 3)};
}

namespace {

// Holds an advisory lock of the connection's session until it goes out of scope.
class AdvisoryLock {
public:
    AdvisoryLock(PostgresRows::Lease& db, const std::string& name) : db_(db), name_(name) {}
    ~AdvisoryLock() {
        try {
            db_.run("SELECT pg_advisory_unlock(hashtextextended($1, 0))", {name_});
        } catch (const std::exception&) {
            // The connection is gone, and its session's locks with it.
        }
    }
    AdvisoryLock(const AdvisoryLock&) = delete;
    AdvisoryLock& operator=(const AdvisoryLock&) = delete;

private:
    PostgresRows::Lease& db_;
    std::string name_;
};

} // namespace

void PostgresRows::withLock(const std::string& name, const std::function<void()>& work) {
    auto db = lease();
    db.run("SELECT pg_advisory_lock(hashtextextended($1, 0))", {name});
    AdvisoryLock held(db, name);
    work();
}

bool PostgresRows::ifUnlocked(const std::string& name, const std::function<void()>& work) {
    auto db = lease();
    if (!db.run("SELECT pg_try_advisory_lock(hashtextextended($1, 0))", {name}).boolean(0, 0))
        return false;
    AdvisoryLock held(db, name);
    work();
    return true;
}

std::vector<UserRow> PostgresRows::users() {
    const Result rows = lease().run("SELECT id, name, created FROM users ORDER BY id");
    std::vector<UserRow> found;
    for (int i = 0; i < rows.rows(); ++i)
        found.push_back({rows.integer(i, 0), rows.text(i, 1), rows.integer(i, 2)});
    return found;
}

std::vector<TokenRow> PostgresRows::tokens() {
    const Result rows = lease().run("SELECT hash, user_id, created FROM tokens");
    std::vector<TokenRow> found;
    for (int i = 0; i < rows.rows(); ++i)
        found.push_back({rows.text(i, 0), rows.integer(i, 1), rows.integer(i, 2)});
    return found;
}

std::vector<std::pair<Upload, std::string>> PostgresRows::uploadsWithDeletionHashes() {
    const Result rows = lease().run("SELECT id, user_id, name, mime, size, created, "
                                    "deletion_hash FROM uploads ORDER BY created, seq");
    std::vector<std::pair<Upload, std::string>> found;
    for (int i = 0; i < rows.rows(); ++i)
        found.emplace_back(uploadFrom(rows, i), rows.text(i, 6));
    return found;
}

std::vector<std::pair<int64_t, NowPlaying>> PostgresRows::nowPlayingRows() {
    const Result rows = lease().run(
        "SELECT user_id, playing, title, artist, album, source, updated FROM now_playing");
    std::vector<std::pair<int64_t, NowPlaying>> found;
    for (int i = 0; i < rows.rows(); ++i)
        found.emplace_back(rows.integer(i, 0), nowPlayingFrom(rows, i, 1));
    return found;
}

bool PostgresRows::importUser(const UserRow& user) {
    auto db = lease();
    db.run("INSERT INTO users(id, name, created) VALUES($1, $2, $3) ON CONFLICT DO NOTHING",
           {number(user.id), user.name, number(user.created)});
    // Users made here later must not take an id that was copied in.
    db.run("SELECT setval(pg_get_serial_sequence('users', 'id'), "
           "GREATEST((SELECT MAX(id) FROM users), 1))");
    const Result row = db.run("SELECT name FROM users WHERE id = $1", {number(user.id)});
    return row.rows() == 1 && row.text(0, 0) == user.name;
}

void PostgresRows::importToken(const TokenRow& token) {
    lease().run("INSERT INTO tokens(hash, user_id, created) VALUES($1, $2, $3) "
                "ON CONFLICT DO NOTHING",
                {token.hash, number(token.userId), number(token.created)});
}

void PostgresRows::importNowPlaying(int64_t userId, const NowPlaying& state) {
    lease().run("INSERT INTO now_playing(user_id, playing, title, artist, album, source, updated) "
                "VALUES($1, $2, $3, $4, $5, $6, $7) ON CONFLICT DO NOTHING",
                {number(userId), state.playing ? "t" : "f", state.title, state.artist, state.album,
                 state.source, number(state.updated)});
}

} // namespace slkserver
