#include "Pages.h"

#include <cstdio>

namespace slkserver::html {

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string percentEncode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && value(text[i + 1]) >= 0 &&
            value(text[i + 2]) >= 0) {
            out += static_cast<char>(value(text[i + 1]) * 16 + value(text[i + 2]));
            i += 2;
        } else if (text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string humanSize(long long bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%lld B", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    else if (bytes < 1024LL * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB",
                      static_cast<double>(bytes) / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.2f GiB",
                      static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
    return text;
}

std::string document(std::string_view title, std::string_view body) {
    std::string page = R"(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";
    page += escape(title);
    page += R"(</title>
<style>
body{font:15px/1.5 system-ui,sans-serif;margin:0;background:#f5f5f7;color:#1d1d1f}
header{background:#1d1d1f;color:#fff;padding:.6em 1.2em;display:flex;gap:1.2em;align-items:center}
header a{color:#fff;text-decoration:none}header .brand{font-weight:600;margin-right:auto}
main{max-width:960px;margin:1.5em auto;padding:0 1em}
.card{background:#fff;border-radius:10px;padding:1.2em;box-shadow:0 1px 3px #0002;margin-bottom:1em}
table{width:100%;border-collapse:collapse}td,th{padding:.45em;text-align:left;border-bottom:1px solid #eee}
img.thumb{width:64px;height:64px;object-fit:cover;border-radius:6px;background:#ddd}
img.media,video.media{max-width:100%;border-radius:8px}
pre{white-space:pre-wrap;word-break:break-word;background:#fafafa;padding:1em;border-radius:8px}
button,.button{background:#0a66d8;color:#fff;border:0;border-radius:6px;padding:.5em 1em;font:inherit;cursor:pointer;text-decoration:none;display:inline-block}
.button.danger,button.danger{background:#c62828}details.confirm summary{list-style:none}
details.confirm summary::-webkit-details-marker{display:none}
details.confirm[open] summary{background:#777}details.confirm[open] .ask,details.confirm:not([open]) .back{display:none}
details.confirm form{margin:0}code{background:#eee;padding:.1em .3em;border-radius:4px;word-break:break-all}
.error{color:#c62828}input{font:inherit;padding:.4em;width:100%;box-sizing:border-box}
nav.links{display:flex;gap:.4em;align-items:center;margin:1em 0}nav.links form{margin:0}
</style></head><body>
<header><a class="brand" href="/dashboard/">Shotlark</a></header>
<main>)";
    page += body;
    page += "</main></body></html>\n";
    return page;
}

std::string signInForm(const std::string& message, const std::string& next) {
    std::string body = "<div class=\"card\"><h2>Sign in</h2>";
    if (!message.empty())
        body += "<p class=\"error\">" + escape(message) + "</p>";
    body += R"(<form method="post" action="/dashboard/login">)";
    if (!next.empty())
        body += "<input type=\"hidden\" name=\"next\" value=\"" + escape(next) + "\">";
    body += R"(<p><label>Upload token<br>
<input name="token" type="password" autocomplete="current-password" required></label></p>
<p><button type="submit">Sign in</button></p></form></div>)";
    return body;
}

std::string navigation(const std::string& csrf) {
    // A div, not a paragraph: a form inside a <p> ends the paragraph and breaks the line.
    return "<nav class=\"links\"><a class=\"button\" href=\"/dashboard/\">Uploads</a> <a "
           "class=\"button\" href=\"/dashboard/setup/\">Setup</a> <form method=\"post\" "
           "action=\"/dashboard/logout\"><input type=\"hidden\" name=\"csrf\" value=\"" +
           escape(csrf) + "\"><button type=\"submit\">Sign out</button></form></nav>";
}

} // namespace slkserver::html
