#include "Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace slkserver {

namespace {
std::vector<unsigned char> randomBytes(int count) {
    std::vector<unsigned char> bytes(static_cast<size_t>(count));
    if (RAND_bytes(bytes.data(), count) != 1)
        throw std::runtime_error("the system's random source failed");
    return bytes;
}

std::string hex(const unsigned char* data, size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}
} // namespace

std::string randomHex(int bytes) {
    const auto random = randomBytes(bytes);
    return hex(random.data(), random.size());
}

std::string randomId(int length) {
    static constexpr char alphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string id;
    while (static_cast<int>(id.size()) < length) {
        for (unsigned char byte : randomBytes(length)) {
            // 248 = 4 * 62: reject the rest so every character is equally likely.
            if (byte < 248 && static_cast<int>(id.size()) < length)
                id += alphabet[byte % 62];
        }
    }
    return id;
}

std::string sha256Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return hex(digest, size);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace slkserver
