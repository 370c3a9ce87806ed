#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

struct AVFormatContext;
struct AVIOContext;

namespace slkserver {

// Which demuxers an upload may reach. Uploads are hostile: a file named .mp4 can be a playlist
// or a concat list that makes FFmpeg read other files, so only the containers expected are
// tried, and never anything but the stored file itself.
enum class Container {
    Mp4,   // the mov/mp4 family: recordings, replay segments
    Movie, // the mov/mp4 family, Matroska and WebM: videos of any kind
};

// What one opening may cost before a single packet is read.
struct InputLimits {
    int64_t probeBytes = 5 * 1024 * 1024;
    int64_t analyzeMicroseconds = 5 * 1000 * 1000;
    int maxStreams = 8;
    // The sample tables of an MP4 may claim far more samples than the file holds (libavformat
    // then builds an index of gigabytes from a kilobyte). At most this many in all...
    int64_t maxSamples = 4 * 1000 * 1000;
    // ...and at least this many bytes of file for each sample claimed.
    int64_t bytesPerSample = 4;
};

// One upload opened for FFmpeg's demuxers, read through a descriptor of the stored file: no
// protocol is used to reach it, and nothing it names is ever opened. The only way in
// mediaserver/ to demux an upload.
class MediaInput {
public:
    // Null when the file is not a readable input of `container` (or claims too much); `error`
    // then says why, for logs and tests.
    static std::unique_ptr<MediaInput> open(const std::filesystem::path& path, Container container,
                                            std::string& error, const InputLimits& limits = {});
    ~MediaInput();
    MediaInput(const MediaInput&) = delete;
    MediaInput& operator=(const MediaInput&) = delete;

    AVFormatContext* format() const { return format_; }
    // How often the demuxer tried to open another file or address (all refused).
    int refusedOpens() const { return refusedOpens_; }

    // The number of samples the MP4 boxes of the file claim, or -1 when they are malformed
    // (open() checks it before libavformat builds an index for them).
    static int64_t claimedSamples(const std::filesystem::path& path, int64_t fileSize);

private:
    MediaInput() = default;

    int fd_ = -1;
    int64_t position_ = 0;
    int64_t size_ = 0;
    int refusedOpens_ = 0;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
};

} // namespace slkserver
