#include "S3Request.h"

#include "Crypto.h"
#include "Pages.h"

#include <QXmlStreamReader>

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace slkserver {

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

} // namespace

std::string s3::query(std::map<std::string, std::string> pairs) {
    std::string text;
    for (const auto& [name, value] : pairs) {
        if (!text.empty())
            text += '&';
        text += awsEncode(name, false) + "=" + awsEncode(value, false);
    }
    return text;
}

std::string s3::xmlText(const std::string& body, const char* element) {
    QXmlStreamReader xml(QByteArray::fromStdString(body));
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String(element))
            return xml.readElementText().toStdString();
    }
    return {};
}

long s3::receivingStatus() {
    long status = 0;
    curl_easy_getinfo(handle(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::string S3Files::Answer::error() const {
    if (!failure.empty())
        return failure;
    std::string text = "HTTP " + std::to_string(status);
    const std::string code = s3::xmlText(body, "Code");
    const std::string message = s3::xmlText(body, "Message");
    if (!code.empty())
        text += " " + code;
    if (!message.empty())
        text += ": " + message;
    return text;
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

} // namespace slkserver
