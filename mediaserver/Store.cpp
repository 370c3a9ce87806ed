#include "Store.h"

#include "Crypto.h"
#include "FolderFiles.h"
#include "PostgresRows.h"
#include "S3Files.h"
#include "SqliteRows.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;

namespace {

int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// How long an object may stay pending before the sweep takes it for a server's crash.
constexpr int64_t pendingLimit = 24 * 3600;

// The upload an object key belongs to: "files/ID" and "thumbs/ID.png" both give ID.
std::string idOf(const std::string& key) {
    std::string id = key.substr(key.find('/') + 1);
    if (key.rfind("thumbs/", 0) == 0 && id.size() > 4 && id.compare(id.size() - 4, 4, ".png") == 0)
        id.resize(id.size() - 4);
    return id;
}

// Writes `bytes` to `path` and says whether every byte reached the disk.
bool writeWhole(const fs::path& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const bool whole = written == bytes.size() && ::fsync(fd) == 0;
    return ::close(fd) == 0 && whole;
}

void logProblem(const std::string& text) {
    std::fprintf(stderr, "shotlark-server: %s\n", text.c_str());
}

} // namespace

std::unique_ptr<Store> Store::open(const StoreOptions& options, Use use, std::string& error) {
    const fs::path& dir = options.dataDir;
    std::error_code ec;
    std::vector<const char*> folders{"tmp"};
    if (options.storage.empty())
        folders.insert(folders.end(), {"files", "thumbs"});
    for (const char* sub : folders) {
        fs::create_directories(dir / sub, ec);
        if (ec) {
            error = "can't create " + (dir / sub).string() + ": " + ec.message();
            return nullptr;
        }
    }
    ::chmod(dir.c_str(), 0700);
    int lockFd = -1;
    if (use == Use::Serve) {
        // Its temporary files are swept at the start: the folder can't be another server's too.
        lockFd = ::open((dir / "server.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            if (lockFd >= 0)
                ::close(lockFd);
            error = "another shotlark-server serves from " + dir.string() +
                    ": each server needs a --data folder of its own";
            return nullptr;
        }
    }
    auto fail = [&](std::string why) {
        if (lockFd >= 0)
            ::close(lockFd);
        error = std::move(why);
        return nullptr;
    };

    std::unique_ptr<RowStore> rows;
    if (options.database.empty()) {
        rows = SqliteRows::open(dir / "shotlark.db", false, error);
    } else if (options.database.rfind("postgresql://", 0) == 0 ||
               options.database.rfind("postgres://", 0) == 0) {
        rows = PostgresRows::open(options.database, error);
    } else {
        error = "--database takes postgresql://USER@HOST/DATABASE";
    }
    if (!rows)
        return fail(error);

    std::unique_ptr<FileStore> files;
    if (options.storage.empty()) {
        files = std::make_unique<FolderFiles>(dir);
    } else {
        auto bucket = S3Files::open(options.storage, options.storageCredentials, error);
        if (!bucket || !bucket->check(error))
            return fail(error);
        files = std::move(bucket);
    }

    std::unique_ptr<Store> store(new Store(dir, std::move(rows), std::move(files)));
    store->lockFd_ = lockFd;
    if (use == Use::Serve)
        store->sweep();
    return store;
}

std::unique_ptr<Store> Store::openForReading(const fs::path& dataDir, std::string& error) {
    const fs::path database = dataDir / "shotlark.db";
    std::error_code ec;
    if (!fs::is_regular_file(database, ec)) {
        error = database.string() + " is not there: not a shotlark-server folder";
        return nullptr;
    }
    auto rows = SqliteRows::open(database, true, error);
    if (!rows)
        return nullptr;
    return std::unique_ptr<Store>(
        new Store(dataDir, std::move(rows), std::make_unique<FolderFiles>(dataDir)));
}

Store::~Store() {
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

void Store::sweep() {
    // Bodies of requests that never finished: this folder is this server's alone.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp", ec))
        fs::remove(entry.path(), ec);
    try {
        // One server sweeps at a time; one that finds another at it leaves it the work.
        rows_->ifUnlocked("sweep", [this] {
            std::vector<std::pair<std::string, int64_t>> objects;
            if (!files_->list("files/", objects) || !files_->list("thumbs/", objects))
                return logProblem("can't list the stored files; nothing swept");
            // Rows are read after the listing: an object listed was pending, or committed,
            // by then.
            const auto ids = rows_->uploadIds();
            const std::set<std::string> known(ids.begin(), ids.end());
            std::map<std::string, int64_t> pending;
            for (const auto& [key, created] : rows_->pending()) {
                if (now() - created > pendingLimit) {
                    files_->remove(key); // its server died while storing it
                    rows_->dropPending(key);
                } else {
                    pending[key] = created;
                }
            }
            for (const auto& [key, age] : objects) {
                const std::string id = idOf(key);
                if (!known.count(id) && !pending.count(fileKey(id)))
                    files_->remove(key);
            }
        });
    } catch (const std::exception& e) {
        logProblem(std::string("the sweep stopped: ") + e.what());
    }
}

std::string Store::issueToken(const std::string& userName) {
    const std::string token = "slk_" + randomHex(24);
    rows_->issueToken(userName, sha256Hex(token));
    return token;
}

std::optional<User> Store::userForToken(const std::string& token) {
    // Only the hash is stored and looked up.
    return rows_->userForTokenHash(sha256Hex(token));
}

fs::path Store::newTemporaryFile() const {
    return dir_ / "tmp" / (randomHex(16) + ".part");
}

bool Store::commitUpload(const Upload& upload, const fs::path& temporary,
                         const std::string& deletionSecret, std::string& error) {
    const std::string key = fileKey(upload.id);
    const bool shared = rows_->isShared();
    std::error_code ec;
    try {
        if (shared)
            rows_->addPending(key);
    } catch (const std::exception& e) {
        fs::remove(temporary, ec);
        logProblem(std::string("can't record a pending upload: ") + e.what());
        error = "can't record the upload";
        return false;
    }
    std::string why;
    if (!files_->put(key, temporary, true, why)) {
        logProblem(why);
        error = "can't store the file";
        try {
            if (shared)
                rows_->dropPending(key);
        } catch (const std::exception&) {
            // Left for the sweep.
        }
        return false;
    }
    try {
        rows_->addUpload(upload, sha256Hex(deletionSecret), shared ? key : std::string());
    } catch (const std::exception& e) {
        files_->remove(key);
        try {
            if (shared)
                rows_->dropPending(key);
        } catch (const std::exception&) {
        }
        error = std::string("can't record the upload: ") + e.what();
        return false;
    }
    return true;
}

bool Store::deleteWithSecret(const std::string& id, const std::string& secret) {
    const auto hash = rows_->deletionHash(id);
    if (!hash || !constantTimeEquals(*hash, sha256Hex(secret)) ||
        !rows_->removeUpload(id, std::nullopt))
        return false;
    removeObjects(id);
    return true;
}

bool Store::deleteOwned(const std::string& id, int64_t userId) {
    if (!rows_->removeUpload(id, userId))
        return false;
    removeObjects(id);
    return true;
}

void Store::removeObjects(const std::string& id) {
    files_->remove(fileKey(id));
    files_->remove(thumbnailKey(id));
}

void Store::setNowPlaying(int64_t userId, const NowPlaying& state) {
    rows_->setNowPlaying(userId, state, now());
}

void Store::startSession(const std::string& cookie, const Session& session) {
    rows_->addSession(
        sha256Hex(cookie),
        SessionRow{session.userId, seal(session.token, cookie), session.csrf, {}, session.expires},
        now());
}

std::optional<Session> Store::session(const std::string& cookie) {
    const auto row = rows_->session(sha256Hex(cookie), now());
    const auto token = row ? unseal(row->sealedToken, cookie) : std::nullopt;
    if (!token)
        return std::nullopt;
    return Session{row->userId, *token, row->csrf, {}, row->expires};
}

void Store::endSession(const std::string& cookie) {
    rows_->dropSession(sha256Hex(cookie));
}

bool Store::addSignIn(const std::string& code, const Session& signIn, int limit) {
    return rows_->addSignIn(
        sha256Hex(code),
        SessionRow{signIn.userId, seal(signIn.token, code), {}, signIn.next, signIn.expires}, now(),
        limit);
}

std::optional<Session> Store::takeSignIn(const std::string& code) {
    const auto row = rows_->takeSignIn(sha256Hex(code), now());
    const auto token = row ? unseal(row->sealedToken, code) : std::nullopt;
    if (!token)
        return std::nullopt;
    return Session{row->userId, *token, {}, row->next, row->expires};
}

std::string Store::thumbnail(const Upload& upload,
                             const std::function<std::string(const fs::path&)>& make) {
    const std::string key = thumbnailKey(upload.id);
    std::string png;
    rows_->withLock("thumbnail " + upload.id, [&] {
        // Made by another request (or server) while this one waited.
        const auto cached = files_->size(key);
        if (cached && *cached <= 16 * 1024 * 1024 && files_->read(key, 0, *cached, png) &&
            png.size() == *cached)
            return;
        png.clear();
        std::error_code ec;
        fs::path copy;
        auto source = files_->localPath(fileKey(upload.id));
        if (!source) {
            // Decoders read files: the object is fetched into this server's folder first.
            copy = newTemporaryFile();
            const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            bool fetched =
                fd >= 0 && files_->readAll(fileKey(upload.id), [fd](const char* data, size_t size) {
                    while (size > 0) {
                        const ssize_t n = ::write(fd, data, size);
                        if (n <= 0)
                            return false;
                        data += n;
                        size -= static_cast<size_t>(n);
                    }
                    return true;
                });
            if (fd >= 0)
                fetched &= ::close(fd) == 0;
            if (!fetched) {
                fs::remove(copy, ec);
                return; // the file is gone
            }
            source = copy;
        }
        png = make(*source);
        if (!copy.empty())
            fs::remove(copy, ec);
        // Cached only when written whole (a full disk must not leave a cut picture).
        const fs::path temporary = newTemporaryFile();
        std::string why;
        if (writeWhole(temporary, png) && files_->put(key, temporary, true, why)) {
            // Deleted meanwhile: the deletion may have looked for the thumbnail before it
            // existed. Rows go before files, so looking again after storing it is enough.
            if (!rows_->upload(upload.id))
                files_->remove(key);
        }
        fs::remove(temporary, ec);
    });
    return png;
}

} // namespace slkserver
