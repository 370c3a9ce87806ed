// A multipart body, fed in pieces whose sizes the input chooses, into the replay's part reader.
#include "Http.h"
#include "IncomingFile.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = [] {
        char name[] = "/tmp/slk-fuzz-XXXXXX";
        return std::string(::mkdtemp(name));
    }();
    if (size < 1)
        return 0;
    const size_t piece = 1 + data[0] % 64 * 61; // 1 to ~3900 bytes at a time
    ++data;
    --size;
    int made = 0;
    slkserver::web::ReplayParts body([&] { return folder + "/part-" + std::to_string(made++); },
                                     1 << 20);
    slkserver::http::MultipartParser parser("B0undary");
    size_t delivered = 0;
    for (size_t at = 0; at < size; at += piece) {
        const size_t take = std::min(piece, size - at);
        const bool going = parser.feed(
            reinterpret_cast<const char*>(data + at), take,
            [&](const slkserver::http::FormPart& part) { return body.begin(part.name); },
            [&](const char* bytes, size_t n) {
                delivered += n;
                return body.data(bytes, n);
            });
        if (!going)
            break;
    }
    // Parts are cut out of the body: never more than it held.
    if (delivered > size)
        std::abort();
    return 0;
}
