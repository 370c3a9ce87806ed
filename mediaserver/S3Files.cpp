#include "S3Files.h"

#include "Crypto.h"
#include "Pages.h"

#include <QDateTime>
#include <QUrl>
#include <QUrlQuery>
#include <QXmlStreamReader>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;

struct S3Files::Answer {
    long status = 0;
    std::string body; // error answers and small ones; streamed answers go to the call's sink
    std::map<std::string, std::string> headers; // names in lower case
    std::string failure;                        // the transfer itself failed (no answer, or cut)

    bool ok() const { return failure.empty() && status >= 200 && status < 300; }
    // "HTTP 404 NoSuchKey: The specified key does not exist." from an S3 error answer.
    std::string error() const;
};

struct S3Files::Call {
    std::string method = "GET";
    std::string key;   // empty: the bucket itself
    std::string query; // in canonical form: sorted, each value encoded
    std::string_view body;
    std::vector<std::string> headers;
    // Where a successful answer's body goes, as it comes; without one it is kept in the answer.
    std::function<bool(const char*, size_t)> sink;
};

namespace {

// Percent-encoding as Signature V4 wants it: only A-Z a-z 0-9 - _ . ~ left as they are (and
// the slashes between a key's segments, when kept).
std::string awsEncode(const std::string& text, bool keepSlash) {
    if (!keepSlash)
        return html::percentEncode(text);
    std::string out;
    for (size_t start = 0;;) {
        const size_t slash = text.find('/', start);
        out += html::percentEncode(std::string_view(text).substr(start, slash - start));
        if (slash == std::string::npos)
            return out;
        out += '/';
        start = slash + 1;
    }
}

// The query from name-value pairs, sorted by name as the signature's canonical request has it,
// so that the signed and the sent query are the same text.
std::string query(std::map<std::string, std::string> pairs) {
    std::string text;
    for (const auto& [name, value] : pairs) {
        if (!text.empty())
            text += '&';
        text += awsEncode(name, false) + "=" + awsEncode(value, false);
    }
    return text;
}

// One easy handle a thread, so connections to the storage are kept and reused.
CURL* handle() {
    struct Owned {
        CURL* curl = curl_easy_init();
        ~Owned() { curl_easy_cleanup(curl); }
    };
    thread_local Owned owned;
    return owned.curl;
}

struct Transfer {
    S3Files::Answer* answer;
    const std::function<bool(const char*, size_t)>* sink;
    CURL* curl;
    bool stopped = false;
};

size_t onData(char* data, size_t, size_t size, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    long status = 0;
    curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, &status);
    const bool success = status >= 200 && status < 300;
    if (success && transfer->sink && *transfer->sink) {
        if (!(*transfer->sink)(data, size)) {
            transfer->stopped = true;
            return 0;
        }
        return size;
    }
    if (transfer->answer->body.size() + size > 1024 * 1024)
        return 0; // an error answer, or a listing, larger than any sane one
    transfer->answer->body.append(data, size);
    return size;
}

size_t onHeader(char* data, size_t, size_t size, void* context) {
    auto* answer = static_cast<S3Files::Answer*>(context);
    const std::string line(data, size);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(colon + 1);
        const auto first = value.find_first_not_of(" \t");
        const auto last = value.find_last_not_of(" \t\r\n");
        answer->headers[name] =
            first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    }
    return size;
}

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

std::string xmlText(const std::string& body, const char* element) {
    QXmlStreamReader xml(QByteArray::fromStdString(body));
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String(element))
            return xml.readElementText().toStdString();
    }
    return {};
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

std::string S3Files::Answer::error() const {
    if (!failure.empty())
        return failure;
    std::string text = "HTTP " + std::to_string(status);
    const std::string code = xmlText(body, "Code");
    const std::string message = xmlText(body, "Message");
    if (!code.empty())
        text += " " + code;
    if (!message.empty())
        text += ": " + message;
    return text;
}

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

std::string S3Files::url(const std::string& key, const std::string& queryText) const {
    const std::string path = key.empty() ? std::string() : awsEncode(where_.prefix + key, true);
    std::string address;
    if (where_.pathStyle) {
        address = where_.endpoint + "/" + where_.bucket + "/" + path;
    } else {
        const auto schemeEnd = where_.endpoint.find("://") + 3;
        address = where_.endpoint.substr(0, schemeEnd) + where_.bucket + "." +
                  where_.endpoint.substr(schemeEnd) + "/" + path;
    }
    return queryText.empty() ? address : address + "?" + queryText;
}

S3Files::Answer S3Files::send(const Call& call) {
    Answer answer;
    CURL* curl = handle();
    if (!curl) {
        answer.failure = "can't start a transfer";
        return answer;
    }
    curl_easy_reset(curl);
    const std::string address = url(call.key, call.query);
    const std::string sigv4 = "aws:amz:" + where_.region + ":s3";
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, where_.accessKey.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, where_.secretKey.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
    // Storage that stops sending for a minute is gone; a slow but moving transfer is not.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");

    curl_slist* headers = nullptr;
    // The payload's hash is signed: storage that got other bytes refuses them.
    headers = curl_slist_append(headers, ("x-amz-content-sha256: " + sha256Hex(call.body)).c_str());
    if (!where_.sessionToken.empty())
        headers =
            curl_slist_append(headers, ("x-amz-security-token: " + where_.sessionToken).c_str());
    headers = curl_slist_append(headers, "Expect:");
    for (const std::string& header : call.headers)
        headers = curl_slist_append(headers, header.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

    if (call.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (call.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.c_str());
        if (call.method == "PUT" || call.method == "POST") {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(call.body.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.data());
        }
    }
    Transfer transfer{&answer, &call.sink, curl};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_slist_free_all(headers);
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && transfer.stopped))
        answer.failure = "storage at " + where_.endpoint + ": " + curl_easy_strerror(result);
    return answer;
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
    CURL* curl = handle();
    size_t taken = 0;
    std::optional<uint64_t> skip;
    call.sink = [&](const char* data, size_t size) {
        if (!skip) {
            // Storage that ignores the range sends everything: skip to the asked part.
            long status = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            skip = status == 206 ? 0 : offset;
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
