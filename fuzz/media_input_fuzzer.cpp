// Uploads as FFmpeg's demuxers meet them, through the server's one opening helper: opened, and
// a few packets read.
#include "MediaInput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        char name[] = "/tmp/slk-fuzz-movie-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        return std::string(name);
    }();
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();
    ::close(fd);
    std::string error;
    const auto input = slkserver::MediaInput::open(path, slkserver::Container::Movie, error);
    if (!input)
        return 0;
    if (input->refusedOpens() < 0)
        std::abort();
    AVPacket* packet = av_packet_alloc();
    for (int i = 0; i < 64 && av_read_frame(input->format(), packet) >= 0; ++i)
        av_packet_unref(packet);
    av_packet_free(&packet);
    return 0;
}
