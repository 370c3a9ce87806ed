#pragma once

// What the server's routes see of HTTP: a request with its head read, an answer to fill in,
// and, for bodies too large to hold, a sink that takes them as they arrive.
#include <cstdint>
#include <functional>
#include <map>
#include <regex>
#include <string>

namespace slkserver::http {

struct CaseInsensitive {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::multimap<std::string, std::string, CaseInsensitive>;

struct Request {
    std::string method;
    std::string path; // percent-decoded, without the query
    Headers headers;
    std::multimap<std::string, std::string> params; // the query, decoded
    std::string body;                               // small bodies only
    std::smatch matches;                            // of the route's pattern against `path`

    bool has_header(const std::string& name) const { return headers.count(name) > 0; }
    std::string get_header_value(const std::string& name) const;
    std::string get_param_value(const std::string& name) const;
    bool is_multipart_form_data() const;
};

// Where an answer's bytes go when they are made as they are sent.
struct DataSink {
    std::function<bool(const char* data, size_t size)> write;
};
// Writes up to `length` bytes of the answer from `offset` to the sink; false ends the answer.
using ContentProvider = std::function<bool(size_t offset, size_t length, DataSink& sink)>;

struct Response {
    int status = 200;
    Headers headers;
    std::string body;
    ContentProvider provider; // when set, the body is made as it is sent
    size_t providedLength = 0;
    bool providerBlocks = false; // the provider waits for the network: run it on a worker
    // When set, the answer is not complete when the handler returns: this runs instead (with
    // the answer to finish and what to call once it is), so that long work such as a
    // conversion waits without holding a thread that answers requests.
    std::function<void(Response&, std::function<void()> finished)> later;

    void set_header(const std::string& name, const std::string& value);
    std::string get_header_value(const std::string& name) const;
    void set_content(const std::string& content, const std::string& type);
    void set_content_provider(size_t length, const std::string& type, ContentProvider provider);
};

struct FormPart {
    std::string name;
    std::string filename;
    std::string content_type;
};
using PartHeader = std::function<bool(const FormPart& part)>;
using ContentReceiver = std::function<bool(const char* data, size_t size)>;

// Receives a streamed body as it arrives, on the connection's network thread, so it must not
// block for long (writing to a local file is the most it does). A multipart body arrives part by
// part; any other body as data alone. False from either stops the body.
class BodySink {
public:
    virtual ~BodySink() = default;
    virtual bool part(const FormPart& part) = 0;
    virtual bool data(const char* bytes, size_t size) = 0;
};

// A multipart/form-data body parsed as it is fed, in pieces of any size. Every part ends
// exactly where the next delimiter begins; headers are bounded, and anything after the closing
// delimiter is ignored.
class MultipartParser {
public:
    explicit MultipartParser(std::string boundary);
    // False when the body is malformed or a handler asked to stop.
    bool feed(const char* data, size_t size, const PartHeader& onPart,
              const ContentReceiver& onData);
    // Whether the closing delimiter was seen.
    bool isComplete() const { return state_ == State::Done; }

    // The boundary of a "multipart/form-data; boundary=..." content type, or empty.
    static std::string boundaryOf(const std::string& contentType);

private:
    enum class State { Preamble, AfterDelimiter, Headers, Body, Done, Failed };
    bool parseHeaders(const std::string& block, FormPart& part) const;

    const std::string delimiter_; // "\r\n--" + boundary
    std::string pending_;
    State state_ = State::Preamble;
};

std::string percentDecode(const std::string& text, bool plusIsSpace);

struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0; // inclusive
};
enum class RangeAnswer { Whole, Partial, Unsatisfiable };

// The one byte range of a "Range" header (empty: none), as browsers and video players send it
// ("bytes=0-", "bytes=500-999", "bytes=-500"). Several ranges, an unknown unit or anything
// malformed get the whole file (RFC 9110 says to ignore such a header): answering many ranges
// would let one request multiply the bytes sent.
RangeAnswer byteRange(const std::string& header, uint64_t size, ByteRange& range);

} // namespace slkserver::http
