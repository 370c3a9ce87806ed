#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace slkserver {

struct GifLimits {
    double maxSeconds = 60;                             // longer recordings are refused
    int64_t maxInputBytes = int64_t(256) * 1024 * 1024; // larger movies are refused
    int64_t maxOutputBytes = int64_t(512) * 1024 * 1024;
    int maxWidth = 960;
    int maxFps = 15;
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

// A fixed number of threads for conversions with a bounded queue, so that conversions never
// take the threads that answer other requests and a burst of them is refused, not piled up.
class ConversionPool {
public:
    ConversionPool(int workers, int queueLimit);
    ~ConversionPool();

    // Runs `work` on a pool thread and waits for it; false when the pool is full.
    bool runAndWait(const std::function<void()>& work);

private:
    void loop();

    const size_t queueLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    size_t idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace slkserver
