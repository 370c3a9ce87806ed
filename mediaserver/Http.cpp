#include "Http.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

namespace slkserver::http {

namespace {

constexpr size_t largestPartHead = 8 * 1024;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The parameters of a header value such as `form-data; name="file"; filename="a b.png"`.
std::map<std::string, std::string> parameters(const std::string& value) {
    std::map<std::string, std::string> found;
    size_t at = value.find(';');
    while (at != std::string::npos && at < value.size()) {
        ++at;
        while (at < value.size() && (value[at] == ' ' || value[at] == '\t'))
            ++at;
        const size_t equals = value.find('=', at);
        if (equals == std::string::npos)
            break;
        const std::string key = lower(trimmed(value.substr(at, equals - at)));
        std::string text;
        at = equals + 1;
        if (at < value.size() && value[at] == '"') {
            for (++at; at < value.size() && value[at] != '"'; ++at) {
                if (value[at] == '\\' && at + 1 < value.size())
                    ++at;
                text += value[at];
            }
            at = value.find(';', at);
        } else {
            const size_t end = value.find(';', at);
            text =
                trimmed(value.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end;
        }
        found.emplace(key, text);
    }
    return found;
}

} // namespace

bool CaseInsensitive::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::string Request::get_header_value(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

std::string Request::get_param_value(const std::string& name) const {
    const auto found = params.find(name);
    return found == params.end() ? std::string() : found->second;
}

bool Request::is_multipart_form_data() const {
    return strncasecmp(get_header_value("Content-Type").c_str(), "multipart/form-data", 19) == 0;
}

void Response::set_header(const std::string& name, const std::string& value) {
    // Header values never carry a line break into the answer.
    if (name.find_first_of("\r\n:") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos)
        return;
    headers.erase(name);
    headers.emplace(name, value);
}

std::string Response::get_header_value(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
}

void Response::set_content(const std::string& content, const std::string& type) {
    body = content;
    provider = nullptr;
    set_header("Content-Type", type);
}

void Response::set_content_provider(size_t length, const std::string& type, ContentProvider made) {
    body.clear();
    provider = std::move(made);
    providedLength = length;
    set_header("Content-Type", type);
}

std::string percentDecode(const std::string& text, bool plusIsSpace) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += plusIsSpace && c == '+' ? ' ' : c;
        }
    }
    return decoded;
}

namespace {
bool parseNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return true;
}
} // namespace

RangeAnswer byteRange(const std::string& header, uint64_t size, ByteRange& range) {
    if (header.size() < 6 || strncasecmp(header.c_str(), "bytes=", 6) != 0)
        return RangeAnswer::Whole;
    std::string ranges = header.substr(6);
    ranges.erase(std::remove(ranges.begin(), ranges.end(), ' '), ranges.end());
    const size_t dash = ranges.find('-');
    if (dash == std::string::npos || ranges.find(',') != std::string::npos)
        return RangeAnswer::Whole;
    const std::string from = ranges.substr(0, dash);
    const std::string to = ranges.substr(dash + 1);
    uint64_t first = 0;
    uint64_t last = 0;
    if (from.empty()) { // the last N bytes
        if (!parseNumber(to, last))
            return RangeAnswer::Whole;
        if (last == 0 || size == 0)
            return RangeAnswer::Unsatisfiable;
        range = {size - std::min(last, size), size - 1};
        return RangeAnswer::Partial;
    }
    if (!parseNumber(from, first) || (!to.empty() && (!parseNumber(to, last) || last < first)))
        return RangeAnswer::Whole;
    if (first >= size)
        return RangeAnswer::Unsatisfiable;
    range = {first, to.empty() ? size - 1 : std::min(last, size - 1)};
    return RangeAnswer::Partial;
}

MultipartParser::MultipartParser(std::string boundary) : delimiter_("\r\n--" + boundary) {
    // The first delimiter has no line break before it: the body is read as if it had one.
    pending_ = "\r\n";
}

std::string MultipartParser::boundaryOf(const std::string& contentType) {
    if (strncasecmp(contentType.c_str(), "multipart/form-data", 19) != 0)
        return std::string();
    const auto found = parameters(contentType);
    const auto boundary = found.find("boundary");
    if (boundary == found.end() || boundary->second.empty() || boundary->second.size() > 70)
        return std::string();
    return boundary->second;
}

bool MultipartParser::parseHeaders(const std::string& block, FormPart& part) const {
    bool formData = false;
    size_t at = 0;
    while (at < block.size()) {
        size_t end = block.find("\r\n", at);
        if (end == std::string::npos)
            end = block.size();
        const std::string line = block.substr(at, end - at);
        at = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return false;
        const std::string name = lower(trimmed(line.substr(0, colon)));
        const std::string value = trimmed(line.substr(colon + 1));
        if (name == "content-disposition") {
            if (strncasecmp(value.c_str(), "form-data", 9) != 0)
                return false;
            const auto found = parameters(value);
            const auto named = found.find("name");
            if (named == found.end())
                return false;
            part.name = named->second;
            const auto file = found.find("filename");
            if (file != found.end())
                part.filename = file->second;
            formData = true;
        } else if (name == "content-type") {
            part.content_type = value;
        }
    }
    return formData;
}

bool MultipartParser::feed(const char* data, size_t size, const PartHeader& onPart,
                           const ContentReceiver& onData) {
    if (state_ == State::Failed)
        return false;
    if (state_ == State::Done)
        return true; // the epilogue
    pending_.append(data, size);
    const auto fail = [this] {
        state_ = State::Failed;
        return false;
    };
    for (;;) {
        switch (state_) {
        case State::Preamble: {
            const size_t found = pending_.find(delimiter_);
            if (found == std::string::npos) {
                // Keep what may be the start of the delimiter.
                if (pending_.size() > delimiter_.size())
                    pending_.erase(0, pending_.size() - delimiter_.size());
                return true;
            }
            pending_.erase(0, found + delimiter_.size());
            state_ = State::AfterDelimiter;
            break;
        }
        case State::AfterDelimiter: {
            // "--" closes the body; otherwise optional white space, then a line break.
            if (pending_.size() < 2)
                return true;
            if (pending_.compare(0, 2, "--") == 0) {
                state_ = State::Done;
                pending_.clear();
                return true;
            }
            const size_t text = pending_.find_first_not_of(" \t");
            if (text == std::string::npos) {
                if (pending_.size() > 64)
                    return fail();
                return true;
            }
            if (pending_.size() < text + 2)
                return true;
            if (pending_.compare(text, 2, "\r\n") != 0)
                return fail();
            pending_.erase(0, text + 2);
            state_ = State::Headers;
            break;
        }
        case State::Headers: {
            const size_t end = pending_.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (pending_.size() > largestPartHead)
                    return fail();
                return true;
            }
            if (end > largestPartHead)
                return fail();
            FormPart part;
            if (!parseHeaders(pending_.substr(0, end), part))
                return fail();
            pending_.erase(0, end + 4);
            state_ = State::Body;
            if (!onPart(part))
                return fail();
            break;
        }
        case State::Body: {
            const size_t found = pending_.find(delimiter_);
            if (found == std::string::npos) {
                // All but what may be the start of the delimiter belongs to the part.
                if (pending_.size() > delimiter_.size()) {
                    const size_t safe = pending_.size() - delimiter_.size();
                    if (!onData(pending_.data(), safe))
                        return fail();
                    pending_.erase(0, safe);
                }
                return true;
            }
            if (found > 0 && !onData(pending_.data(), found))
                return fail();
            pending_.erase(0, found + delimiter_.size());
            state_ = State::AfterDelimiter;
            break;
        }
        case State::Done:
            return true;
        case State::Failed:
            return false;
        }
    }
}

} // namespace slkserver::http
