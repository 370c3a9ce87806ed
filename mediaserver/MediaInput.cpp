#include "MediaInput.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace slkserver {

namespace {

bool readAt(int fd, int64_t offset, unsigned char* into, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

uint32_t be32(const unsigned char* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint64_t be64(const unsigned char* p) {
    return uint64_t(be32(p)) << 32 | be32(p + 4);
}

// Walks the box tree of an MP4 between `from` and `to`, adding up the samples its tables
// claim. False when a box is malformed or the tree is absurdly deep or large.
struct SampleCounter {
    int fd;
    int64_t fileSize;
    int64_t samples = 0;
    int64_t boxes = 0;

    bool walk(int64_t from, int64_t to, int depth) {
        if (depth > 16)
            return false;
        int64_t at = from;
        while (at + 8 <= to) {
            if (++boxes > 100000)
                return false;
            unsigned char head[16];
            if (!readAt(fd, at, head, 8))
                return false;
            uint64_t size = be32(head);
            int64_t headSize = 8;
            if (size == 1) {
                if (at + 16 > to || !readAt(fd, at + 8, head + 8, 8))
                    return false;
                size = be64(head + 8);
                headSize = 16;
            } else if (size == 0) {
                size = static_cast<uint64_t>(to - at); // to the end of its parent
            }
            if (size < uint64_t(headSize))
                return false;
            // A box cut short (a truncated file) counts for what is there.
            size = std::min<uint64_t>(size, uint64_t(to - at));
            const std::string type(reinterpret_cast<const char*>(head + 4), 4);
            const int64_t body = at + headSize;
            const int64_t end = at + static_cast<int64_t>(size);
            if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" ||
                type == "stbl" || type == "moof" || type == "traf" || type == "mvex" ||
                type == "edts" || type == "dinf") {
                if (!walk(body, end, depth + 1))
                    return false;
            } else if (type == "stsz" || type == "stz2" || type == "trun") {
                unsigned char fields[12];
                if (end - body < 12 || !readAt(fd, body, fields, 12))
                    return false;
                const bool table = type != "stsz" || be32(fields + 4) == 0;
                const int64_t count = type == "trun" ? be32(fields + 4) : be32(fields + 8);
                // Samples of one constant size must all be in the file (compared by division:
                // the product of two 32-bit counts overflows).
                if (!table && count > fileSize / int64_t(be32(fields + 4)))
                    return false;
                samples += count;
            }
            at = end;
        }
        return true;
    }
};

const char* whitelistOf(Container container) {
    return container == Container::Mp4 ? "mov,mp4,m4a,3gp,3g2,mj2"
                                       : "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm";
}

} // namespace

// A descriptor of the stored file is the only thing the demuxer reads.
struct MediaInputIo {
    int fd;
    int64_t* position;
    int64_t size;

    static int read(void* opaque, uint8_t* into, int size) {
        auto* source = static_cast<MediaInputIo*>(opaque);
        ssize_t got;
        do {
            got = ::pread(source->fd, into, static_cast<size_t>(size),
                          static_cast<off_t>(*source->position));
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            return AVERROR(errno);
        if (got == 0)
            return AVERROR_EOF;
        *source->position += got;
        return static_cast<int>(got);
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* source = static_cast<MediaInputIo*>(opaque);
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE:
            return source->size;
        case SEEK_SET:
            break;
        case SEEK_CUR:
            offset += *source->position;
            break;
        case SEEK_END:
            offset += source->size;
            break;
        default:
            return AVERROR(EINVAL);
        }
        if (offset < 0)
            return AVERROR(EINVAL);
        *source->position = offset;
        return offset;
    }
};

int64_t MediaInput::claimedSamples(const std::filesystem::path& path, int64_t fileSize) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    SampleCounter counter{fd, fileSize};
    const bool wellFormed = counter.walk(0, fileSize, 0);
    ::close(fd);
    return wellFormed ? counter.samples : -1;
}

std::unique_ptr<MediaInput> MediaInput::open(const std::filesystem::path& path, Container container,
                                             std::string& error, const InputLimits& limits) {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        // No single allocation of a demuxer or decoder may be larger than this, whatever a
        // file claims; the largest picture the server decodes (8192×8192) is well below it.
        av_max_alloc(size_t(256) << 20);
    });
    std::unique_ptr<MediaInput> input(new MediaInput);
    input->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat info {};
    if (input->fd_ < 0 || ::fstat(input->fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "The file can't be read";
        return nullptr;
    }
    input->size_ = info.st_size;

    // What the MP4 tables claim is checked before libavformat allocates an index for it. Every
    // file the mov demuxer may take is walked (it accepts files that begin with any of a dozen
    // box types); only Matroska, known by its own magic, is left to its demuxer.
    unsigned char head[4] = {};
    const bool matroska = container == Container::Movie && readAt(input->fd_, 0, head, 4) &&
                          std::memcmp(head, "\x1a\x45\xdf\xa3", 4) == 0;
    if (!matroska) {
        SampleCounter counter{input->fd_, input->size_};
        if (!counter.walk(0, input->size_, 0)) {
            error = "The movie's boxes are malformed";
            return nullptr;
        }
        if (counter.samples > limits.maxSamples ||
            counter.samples > input->size_ / limits.bytesPerSample + 1024) {
            error = "The movie claims more samples than its size allows";
            return nullptr;
        }
    }

    constexpr int bufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    auto* io = new MediaInputIo{input->fd_, &input->position_, input->size_};
    input->io_ = avio_alloc_context(buffer, bufferSize, 0, io, &MediaInputIo::read, nullptr,
                                    &MediaInputIo::seek);
    if (!buffer || !input->io_) {
        if (!input->io_)
            av_free(buffer);
        delete io;
        error = "Out of memory";
        return nullptr;
    }

    AVFormatContext* format = avformat_alloc_context();
    if (!format) {
        error = "Out of memory";
        return nullptr;
    }
    format->pb = input->io_;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->probesize = limits.probeBytes;
    format->max_analyze_duration = limits.analyzeMicroseconds;
    format->max_streams = limits.maxStreams;
    format->opaque = input.get();
    // Whatever the file names (a data reference, a segment, a playlist entry): refused.
    format->io_open = [](AVFormatContext* context, AVIOContext**, const char*, int,
                         AVDictionary**) -> int {
        ++static_cast<MediaInput*>(context->opaque)->refusedOpens_;
        return AVERROR(EPERM);
    };
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", whitelistOf(container), 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "enable_drefs", "0", 0);
    const int opened = avformat_open_input(&format, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        // avformat_open_input frees the context on failure.
        error = "The file is not a movie this server reads";
        return nullptr;
    }
    input->format_ = format;
    if (avformat_find_stream_info(format, nullptr) < 0) {
        error = "The movie's streams can't be read";
        return nullptr;
    }
    return input;
}

MediaInput::~MediaInput() {
    if (format_)
        avformat_close_input(&format_);
    if (io_) {
        delete static_cast<MediaInputIo*>(io_->opaque);
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace slkserver
