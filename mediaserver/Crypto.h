#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace slkserver {

// Random text from the system's CSPRNG.
std::string randomHex(int bytes);
std::string randomId(int length); // [0-9A-Za-z]
std::string sha256Hex(std::string_view data);

// SHA-256 of data given in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void add(const char* data, size_t size);
    std::string hex(); // ends it

private:
    ::evp_md_ctx_st* context_;
};
// Equal in time independent of where the texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

// `plain` encrypted and authenticated (AES-256-GCM) with a key made from `secret`, as hex.
std::string seal(std::string_view plain, std::string_view secret);
// The text sealed with `secret`; nothing when it was sealed with another or changed since.
std::optional<std::string> unseal(std::string_view sealed, std::string_view secret);

} // namespace slkserver
