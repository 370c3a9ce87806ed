#include "Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
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

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::add(const char* data, size_t size) {
    if (EVP_DigestUpdate(context_, data, size) != 1)
        throw std::runtime_error("SHA-256 failed");
}

std::string Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_, digest, &size) != 1)
        throw std::runtime_error("SHA-256 failed");
    return slkserver::hex(digest, size);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace {

// The sealing key: a hash of the secret in a domain of its own, so that it is not the SHA-256
// under which the secret's row is found.
std::vector<unsigned char> sealingKey(std::string_view secret) {
    const std::string input = "shotlark sealed token\n" + std::string(secret);
    std::vector<unsigned char> key(32);
    unsigned int size = 0;
    if (EVP_Digest(input.data(), input.size(), key.data(), &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return key;
}

std::optional<std::vector<unsigned char>> fromHex(std::string_view text) {
    if (text.size() % 2)
        return std::nullopt;
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

using Cipher = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
constexpr int ivSize = 12, tagSize = 16;

} // namespace

std::string seal(std::string_view plain, std::string_view secret) {
    const auto key = sealingKey(secret);
    auto sealed = randomBytes(ivSize);
    sealed.resize(ivSize + plain.size() + tagSize);
    Cipher cipher(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int written = 0, last = 0;
    if (!cipher ||
        EVP_EncryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) !=
            1 ||
        EVP_EncryptUpdate(cipher.get(), sealed.data() + ivSize, &written,
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(cipher.get(), sealed.data() + ivSize + written, &last) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_GET_TAG, tagSize,
                            sealed.data() + ivSize + plain.size()) != 1)
        throw std::runtime_error("sealing failed");
    return hex(sealed.data(), sealed.size());
}

std::optional<std::string> unseal(std::string_view sealedHex, std::string_view secret) {
    const auto sealed = fromHex(sealedHex);
    if (!sealed || sealed->size() < ivSize + tagSize)
        return std::nullopt;
    const auto key = sealingKey(secret);
    const size_t size = sealed->size() - ivSize - tagSize;
    std::string plain(size, '\0');
    std::vector<unsigned char> tag(sealed->end() - tagSize, sealed->end());
    Cipher cipher(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int written = 0, last = 0;
    if (!cipher ||
        EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed->data()) !=
            1 ||
        EVP_DecryptUpdate(cipher.get(), reinterpret_cast<unsigned char*>(plain.data()), &written,
                          sealed->data() + ivSize, static_cast<int>(size)) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(cipher.get(), reinterpret_cast<unsigned char*>(plain.data()) + written,
                            &last) != 1)
        return std::nullopt;
    return plain;
}

} // namespace slkserver
