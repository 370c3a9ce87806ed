#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace slkserver {

struct GifLimits {
    double maxSeconds = 60;                             // longer recordings are refused
    int64_t maxInputBytes = int64_t(256) * 1024 * 1024; // larger movies are refused
    int64_t maxOutputBytes = int64_t(512) * 1024 * 1024;
    int maxWidth = 960;
    int maxFps = 15;
    int maxSourceFps = 120; // at most maxSeconds × this many frames are decoded
    int decoderThreads = 2; // one conversion never takes every processor
};

// Why a conversion did not give a GIF: an HTTP status and a text for the uploader.
struct GifFailure {
    int status = 0; // 0: converted
    std::string message;
    explicit operator bool() const { return status != 0; }
};

// Turns a movie (MP4, MOV, Matroska, WebM) into an animated GIF in two passes over the input:
// the first builds one palette from the frames' differences, the second maps every frame to it
// with an ordered dither. Two passes keep memory flat: a single one would hold every frame until
// the palette is known. Blocking; `gif` is only left behind on success.
GifFailure convertToGif(const std::filesystem::path& movie, const std::filesystem::path& gif,
                        const GifLimits& limits);

} // namespace slkserver
