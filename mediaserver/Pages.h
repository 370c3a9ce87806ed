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
// The dashboard's sign-in card, with an error line when `message` is not empty.
// `next`: the page of this server to return to once signed in (empty: the dashboard).
std::string signInForm(const std::string& message, const std::string& next = {});
// The dashboard's links and its sign-out button.
std::string navigation(const std::string& csrf);

} // namespace slkserver::html
