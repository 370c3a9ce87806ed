#pragma once

#include <string>
#include <string_view>

namespace slkserver {

// Random text from the system's CSPRNG.
std::string randomHex(int bytes);
std::string randomId(int length); // [0-9A-Za-z]
std::string sha256Hex(std::string_view data);
// Equal in time independent of where the texts differ.
bool constantTimeEquals(std::string_view a, std::string_view b);

} // namespace slkserver
