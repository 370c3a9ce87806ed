// A "Range" header against a file size: a partial answer always lies within the file.
#include "Http.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8)
        return 0;
    uint64_t fileSize = 0;
    std::memcpy(&fileSize, data, 8);
    fileSize %= uint64_t(1) << 40;
    const std::string header(reinterpret_cast<const char*>(data + 8), size - 8);
    slkserver::http::ByteRange range;
    if (slkserver::http::byteRange(header, fileSize, range) ==
            slkserver::http::RangeAnswer::Partial &&
        (range.first > range.last || range.last >= fileSize))
        std::abort();
    return 0;
}
