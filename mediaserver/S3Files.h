#pragma once

#include "FileStore.h"

#include <memory>
#include <optional>
#include <string>

namespace slkserver {

struct S3Location {
    std::string bucket;
    std::string endpoint; // "https://host[:port]"
    std::string region = "us-east-1";
    std::string prefix; // before every key, "" or ending in "/"
    bool pathStyle = true;
    std::string accessKey, secretKey, sessionToken;
};

// Objects in a bucket of S3-compatible storage, signed with AWS Signature V4 (libcurl's). Files
// above one part go up as multipart uploads, part by part from the disk; reads are ranged GETs.
class S3Files : public FileStore {
public:
    // "s3://BUCKET?endpoint=URL&region=R&prefix=P&path_style=0|1". Keys come from
    // `credentials` (a file only its owner can read: aws_access_key_id = ...,
    // aws_secret_access_key = ..., aws_session_token = ...) or else from AWS_ACCESS_KEY_ID,
    // AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN; never from the address.
    static std::unique_ptr<S3Files> open(const std::string& address,
                                         const std::optional<std::filesystem::path>& credentials,
                                         std::string& error);
    explicit S3Files(S3Location location) : where_(std::move(location)) {}

    // Whether the bucket answers to these keys; the reason when it doesn't.
    bool check(std::string& error);

    bool put(const std::string& key, const std::filesystem::path& local, bool move,
             std::string& error) override;
    std::optional<uint64_t> size(const std::string& key) override;
    bool read(const std::string& key, uint64_t offset, size_t length, std::string& out) override;
    bool readAll(const std::string& key,
                 const std::function<bool(const char*, size_t)>& write) override;
    void remove(const std::string& key) override;
    bool list(const std::string& prefix,
              std::vector<std::pair<std::string, int64_t>>& keys) override;
    std::optional<std::filesystem::path> localPath(const std::string&) const override {
        return std::nullopt;
    }

    // Files up to this size go up in one request; larger ones in parts of at least this size.
    static constexpr uint64_t partSize = 8 * 1024 * 1024;

    struct Answer;
    struct Call;

private:
    Answer send(const Call& call);
    bool putWhole(const std::string& key, int fd, uint64_t size, std::string& error);
    bool putInParts(const std::string& key, int fd, uint64_t size, std::string& error);
    std::string url(const std::string& key, const std::string& query) const;

    S3Location where_;
};

} // namespace slkserver
