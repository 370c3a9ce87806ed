#include "S3Files.h"

#include "S3Request.h"

#include <QDateTime>
#include <QUrl>
#include <QUrlQuery>
#include <QXmlStreamReader>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;

using s3::query;
using s3::xmlText;

namespace {

bool readFully(int fd, char* into, size_t size, uint64_t offset) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, into + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool credentialsFrom(const fs::path& file, S3Location& where, std::string& error) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "can't read the storage credentials " + file.string();
        return false;
    }
    if (info.st_mode & 077 || info.st_uid != ::geteuid()) {
        error = file.string() + " can be read by other users: it must be yours alone (chmod 600)";
        return false;
    }
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos)
            continue;
        auto trimmed = [](std::string text) {
            const auto first = text.find_first_not_of(" \t\r");
            const auto last = text.find_last_not_of(" \t\r");
            return first == std::string::npos ? std::string()
                                              : text.substr(first, last - first + 1);
        };
        const std::string name = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if (name == "aws_access_key_id")
            where.accessKey = value;
        else if (name == "aws_secret_access_key")
            where.secretKey = value;
        else if (name == "aws_session_token")
            where.sessionToken = value;
    }
    return true;
}

} // namespace

std::unique_ptr<S3Files> S3Files::open(const std::string& address,
                                       const std::optional<fs::path>& credentials,
                                       std::string& error) {
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != u"s3" || url.host().isEmpty()) {
        error = "--storage takes s3://BUCKET?endpoint=URL&region=REGION";
        return nullptr;
    }
    if (!url.userInfo().isEmpty()) {
        error = "--storage carries keys, which every local user could read on the command line: "
                "give them in AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY or "
                "--storage-credentials FILE";
        return nullptr;
    }
    S3Location where;
    where.bucket = url.host(QUrl::FullyDecoded).toStdString();
    const QUrlQuery words(url);
    for (const auto& [name, value] : words.queryItems(QUrl::FullyDecoded)) {
        if (name == u"endpoint") {
            where.endpoint = value.toStdString();
        } else if (name == u"region") {
            where.region = value.toStdString();
        } else if (name == u"prefix") {
            where.prefix = value.toStdString();
        } else if (name == u"path_style") {
            where.pathStyle = value != u"0";
        } else {
            error = "--storage: unknown option \"" + name.toStdString() + "\"";
            return nullptr;
        }
    }
    if (!words.hasQueryItem(QStringLiteral("endpoint"))) {
        where.endpoint = "https://s3." + where.region + ".amazonaws.com";
        if (!words.hasQueryItem(QStringLiteral("path_style")))
            where.pathStyle = false;
    }
    const QUrl endpoint(QString::fromStdString(where.endpoint));
    if ((endpoint.scheme() != u"https" && endpoint.scheme() != u"http") ||
        endpoint.host().isEmpty() || !endpoint.path().isEmpty() || endpoint.hasQuery()) {
        error = "--storage: endpoint must be http(s)://HOST[:PORT]";
        return nullptr;
    }
    const auto unsafe = [](const std::string& text, bool slash) {
        return std::any_of(text.begin(), text.end(), [slash](unsigned char c) {
            return !(std::isalnum(c) || c == '-' || c == '_' || c == '.' || (slash && c == '/'));
        });
    };
    if (where.bucket.empty() || unsafe(where.bucket, false) || unsafe(where.region, false) ||
        unsafe(where.prefix, true) || where.prefix.find("..") != std::string::npos) {
        error = "--storage: bucket, region and prefix take letters, digits, '-', '_' and '.'";
        return nullptr;
    }
    if (!where.prefix.empty() && where.prefix.back() != '/')
        where.prefix += '/';
    if (credentials) {
        if (!credentialsFrom(*credentials, where, error))
            return nullptr;
    } else {
        auto env = [](const char* name) {
            const char* value = std::getenv(name);
            return value ? std::string(value) : std::string();
        };
        where.accessKey = env("AWS_ACCESS_KEY_ID");
        where.secretKey = env("AWS_SECRET_ACCESS_KEY");
        where.sessionToken = env("AWS_SESSION_TOKEN");
    }
    if (where.accessKey.empty() || where.secretKey.empty()) {
        error = "no storage keys: give them in AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY or "
                "--storage-credentials FILE";
        return nullptr;
    }
    return std::make_unique<S3Files>(std::move(where));
}

bool S3Files::check(std::string& error) {
    Call call;
    call.query = query({{"list-type", "2"}, {"max-keys", "1"}});
    const Answer answer = send(call);
    if (answer.ok())
        return true;
    error = "bucket " + where_.bucket + " at " + where_.endpoint + ": " + answer.error();
    return false;
}

bool S3Files::put(const std::string& key, const fs::path& local, bool move, std::string& error) {
    const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    bool stored = false;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        error = "can't read " + local.string();
    } else {
        const auto size = static_cast<uint64_t>(info.st_size);
        stored =
            size <= partSize ? putWhole(key, fd, size, error) : putInParts(key, fd, size, error);
    }
    if (fd >= 0)
        ::close(fd);
    if (move) {
        std::error_code ec;
        fs::remove(local, ec); // stored or not, the local copy has served its purpose
    }
    return stored;
}

bool S3Files::putWhole(const std::string& key, int fd, uint64_t size, std::string& error) {
    std::string bytes(size, '\0');
    if (!readFully(fd, bytes.data(), bytes.size(), 0)) {
        error = "can't read the file to store";
        return false;
    }
    Call call;
    call.method = "PUT";
    call.key = key;
    call.body = bytes;
    const Answer answer = send(call);
    if (!answer.ok())
        error = "can't store the file: " + answer.error();
    return answer.ok();
}

bool S3Files::putInParts(const std::string& key, int fd, uint64_t size, std::string& error) {
    Call start;
    start.method = "POST";
    start.key = key;
    start.query = query({{"uploads", ""}});
    const Answer started = send(start);
    const std::string uploadId = xmlText(started.body, "UploadId");
    if (!started.ok() || uploadId.empty()) {
        error = "can't store the file: " + started.error();
        return false;
    }
    auto abort = [&] {
        Call call;
        call.method = "DELETE";
        call.key = key;
        call.query = query({{"uploadId", uploadId}});
        send(call);
    };
    // S3 takes 10,000 parts at most: a file beyond 80 GiB gets larger parts.
    const uint64_t part = std::max<uint64_t>(partSize, (size + 9999) / 10000);
    std::string body = "<CompleteMultipartUpload>";
    std::string bytes;
    int number = 1;
    for (uint64_t offset = 0; offset < size; offset += part, ++number) {
        bytes.resize(static_cast<size_t>(std::min(part, size - offset)));
        if (!readFully(fd, bytes.data(), bytes.size(), offset)) {
            error = "can't read the file to store";
            abort();
            return false;
        }
        Call call;
        call.method = "PUT";
        call.key = key;
        call.query = query({{"partNumber", std::to_string(number)}, {"uploadId", uploadId}});
        call.body = bytes;
        const Answer answer = send(call);
        const auto etag = answer.headers.find("etag");
        if (!answer.ok() || etag == answer.headers.end()) {
            error = "can't store the file: " + answer.error();
            abort();
            return false;
        }
        body += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" +
                QString::fromStdString(etag->second).toHtmlEscaped().toStdString() +
                "</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";
    Call complete;
    complete.method = "POST";
    complete.key = key;
    complete.query = query({{"uploadId", uploadId}});
    complete.body = body;
    complete.headers = {"Content-Type: application/xml"};
    const Answer answer = send(complete);
    // S3 may say 200 and still fail, with an Error element in the body.
    if (!answer.ok() || answer.body.find("<Error>") != std::string::npos) {
        error = "can't store the file: " + answer.error();
        abort();
        return false;
    }
    return true;
}

std::optional<uint64_t> S3Files::size(const std::string& key) {
    Call call;
    call.method = "HEAD";
    call.key = key;
    const Answer answer = send(call);
    const auto length = answer.headers.find("content-length");
    if (!answer.ok() || length == answer.headers.end())
        return std::nullopt;
    return std::strtoull(length->second.c_str(), nullptr, 10);
}

bool S3Files::read(const std::string& key, uint64_t offset, size_t length, std::string& out) {
    if (length == 0)
        return true;
    Call call;
    call.key = key;
    call.headers = {"Range: bytes=" + std::to_string(offset) + "-" +
                    std::to_string(offset + length - 1)};
    size_t taken = 0;
    std::optional<uint64_t> skip;
    call.sink = [&](const char* data, size_t size) {
        if (!skip) {
            // Storage that ignores the range sends everything: skip to the asked part.
            skip = s3::receivingStatus() == 206 ? 0 : offset;
        }
        const size_t skipped = static_cast<size_t>(std::min<uint64_t>(*skip, size));
        *skip -= skipped;
        const size_t take = std::min(size - skipped, length - taken);
        out.append(data + skipped, take);
        taken += take;
        return taken < length; // enough: the rest is not read
    };
    return send(call).ok();
}

bool S3Files::readAll(const std::string& key,
                      const std::function<bool(const char*, size_t)>& write) {
    Call call;
    call.key = key;
    call.sink = write;
    return send(call).ok();
}

void S3Files::remove(const std::string& key) {
    Call call;
    call.method = "DELETE";
    call.key = key;
    send(call);
}

bool S3Files::list(const std::string& prefix, std::vector<std::pair<std::string, int64_t>>& keys) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    std::string token;
    for (;;) {
        std::map<std::string, std::string> words{{"list-type", "2"},
                                                 {"prefix", where_.prefix + prefix}};
        if (!token.empty())
            words["continuation-token"] = token;
        Call call;
        call.query = query(words);
        const Answer answer = send(call);
        if (!answer.ok())
            return false;
        QXmlStreamReader xml(QByteArray::fromStdString(answer.body));
        // One object per Contents element, whatever the order of its fields.
        std::string key;
        int64_t age = 0;
        bool truncated = false;
        token.clear();
        while (!xml.atEnd()) {
            const auto read = xml.readNext();
            if (read == QXmlStreamReader::EndElement && xml.name() == u"Contents") {
                if (key.rfind(where_.prefix, 0) == 0)
                    keys.emplace_back(key.substr(where_.prefix.size()), age);
                key.clear();
                age = 0;
            }
            if (read != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == u"Key") {
                key = xml.readElementText().toStdString();
            } else if (xml.name() == u"LastModified") {
                const QDateTime modified =
                    QDateTime::fromString(xml.readElementText(), Qt::ISODateWithMs);
                age = modified.isValid() ? modified.secsTo(now) : 0;
            } else if (xml.name() == u"IsTruncated") {
                truncated = xml.readElementText() == u"true";
            } else if (xml.name() == u"NextContinuationToken") {
                token = xml.readElementText().toStdString();
            }
        }
        if (xml.hasError())
            return false;
        if (!truncated || token.empty())
            return true;
    }
}

} // namespace slkserver
