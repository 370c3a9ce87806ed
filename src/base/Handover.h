#pragma once

#include <string>
#include <vector>

// How a later start hands its arguments to the running Shotlark: one line of JSON (an array of
// strings) over a private local socket, answered "ok" once taken. Plain POSIX and the C++
// library only, so that the launcher can hand over before any of the app's libraries load.
namespace shotlark::handover {

// Whether `path` is a directory owned by this user that nobody else may enter.
bool isOwnedPrivateDir(const std::string& path);

// The instance socket's directory when it already exists and is private: XDG_RUNTIME_DIR, else
// /tmp/shotlark-UID. Empty otherwise (the app then decides where its socket lives).
std::string existingRuntimeDir();

// The line sent for `arguments` (UTF-8 strings): a JSON array, newline-terminated.
std::string encode(const std::vector<std::string>& arguments);

// True when the instance listening at `socketPath` took `arguments`.
bool send(const std::string& socketPath, const std::vector<std::string>& arguments);

} // namespace shotlark::handover
