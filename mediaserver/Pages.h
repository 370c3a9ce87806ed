#pragma once

#include <string>
#include <string_view>

namespace slkserver::html {

std::string escape(std::string_view text);
std::string percentEncode(std::string_view text); // every byte outside [A-Za-z0-9-._~]
std::string percentDecode(std::string_view text);
std::string humanSize(long long bytes);
// A complete page with the server's look.
std::string document(std::string_view title, std::string_view body);

} // namespace slkserver::html
