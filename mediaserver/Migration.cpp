#include "Migration.h"

#include "Crypto.h"

namespace slkserver {

namespace {

struct Digest {
    uint64_t size = 0;
    std::string sha256;
};

std::optional<Digest> digestOf(FileStore& files, const std::string& key) {
    Sha256 hash;
    Digest digest;
    if (!files.readAll(key, [&](const char* data, size_t size) {
            hash.add(data, size);
            digest.size += size;
            return true;
        }))
        return std::nullopt;
    digest.sha256 = hash.hex();
    return digest;
}

} // namespace

bool migrate(Store& from, Store& to, const std::function<void(const std::string&)>& say,
             MigrationCount& count, std::string& error) {
    try {
        for (const UserRow& user : from.rows().users()) {
            if (!to.rows().importUser(user)) {
                error = "the target has another user with id " + std::to_string(user.id) + " (" +
                        user.name + " here): copy into an empty database";
                return false;
            }
            ++count.users;
        }
        for (const TokenRow& token : from.rows().tokens())
            to.rows().importToken(token);
        for (const auto& [userId, state] : from.rows().nowPlayingRows())
            to.rows().importNowPlaying(userId, state);

        for (const auto& [upload, deletionHash] : from.rows().uploadsWithDeletionHashes()) {
            const std::string key = Store::fileKey(upload.id);
            if (to.rows().upload(upload.id)) {
                ++count.alreadyThere;
                continue;
            }
            const auto source = from.files().localPath(key);
            const auto original = digestOf(from.files(), key);
            if (!source || !original) {
                say("missing  " + upload.id + " " + upload.name + ": the source has no file");
                ++count.missing;
                continue;
            }
            if (original->size != static_cast<uint64_t>(upload.size)) {
                error = upload.id + ": the file has " + std::to_string(original->size) +
                        " bytes, its row says " + std::to_string(upload.size);
                return false;
            }
            const bool shared = to.rows().isShared();
            if (shared)
                to.rows().addPending(key);
            std::string why;
            if (!to.files().put(key, *source, false, why)) {
                error = upload.id + ": " + why;
                return false;
            }
            const auto copy = digestOf(to.files(), key);
            if (!copy || copy->size != original->size || copy->sha256 != original->sha256) {
                to.files().remove(key);
                error = upload.id + ": the stored copy differs from the file (size or SHA-256)";
                return false;
            }
            to.rows().addUpload(upload, deletionHash, shared ? key : std::string());
            ++count.copied;
            count.bytes += copy->size;
            say("copied   " + upload.id + " " + upload.name + " (" + std::to_string(copy->size) +
                " bytes, sha256 " + copy->sha256.substr(0, 16) + "…)");
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

} // namespace slkserver
