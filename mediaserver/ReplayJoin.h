#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace slkserver {

// Joins H.264 MP4 segments, in the order given, into one MP4 (index at the front) without
// re-encoding: the packets are copied with continuous timestamps, and only the last `seconds`
// are kept, from the key frame at or before that point, so the clip is at least that long when
// that much was sent. Reads one packet at a time. On failure `error` says why (for the
// uploader) and nothing is left at `output`.
bool joinSegments(const std::vector<std::filesystem::path>& segments, double seconds,
                  const std::filesystem::path& output, std::string& error);

} // namespace slkserver
