#pragma once

// The requests S3Files makes, signed with AWS Signature V4 by libcurl: what a request is, what
// came back, and the text forms Signature V4 wants.
#include "S3Files.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace slkserver {

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

namespace s3 {

// The query from name-value pairs, sorted by name as the signature's canonical request has it,
// so that the signed and the sent query are the same text.
std::string query(std::map<std::string, std::string> pairs);
// The text of the first `element` of an XML answer, or "".
std::string xmlText(const std::string& body, const char* element);
// The status of the answer this thread is receiving (from a call's sink).
long receivingStatus();

} // namespace s3

} // namespace slkserver
