// The entry points of libshotlark-recording.so. FFmpeg's and PipeWire's libraries pull in some 130
// more shared libraries; loading them only when a recording starts keeps the tray app's start and
// idle memory where they were.
#include "GifConverter.h"
#include "ReplayJoin.h"
#include "platform/RecordingBackends.h"
#include "platform/wayland/PipeWireFrameSource.h"

#include <string>
#include <vector>

extern "C" {

Q_DECL_EXPORT shotlark::platform::MovieWriter* shotlark_new_movie_writer() {
    return shotlark::platform::makeFfmpegMovieWriter().release();
}

Q_DECL_EXPORT shotlark::platform::AudioSource* shotlark_new_audio_source() {
    return shotlark::platform::makePulseAudioSource().release();
}

// Takes `fd`, the PipeWire connection the ScreenCast portal opened.
Q_DECL_EXPORT shotlark::platform::FrameSource*
shotlark_new_pipewire_frame_source(int fd, quint32 node, int width, int height) {
    return shotlark::platform::wayland::makePipeWireFrameSource(fd, node, QSize(width, height))
        .release();
}

// The reference server's conversion, with its default limits: the same GIF as it would make.
// Null on success, else why (valid until the thread's next call).
Q_DECL_EXPORT const char* shotlark_movie_to_gif(const char* movie, const char* gif) {
    static thread_local std::string error;
    const slkserver::GifFailure failure = slkserver::convertToGif(movie, gif, {});
    error = failure.message;
    return failure ? error.c_str() : nullptr;
}

// Joins replay segments without encoding again, keeping the last `seconds`.
Q_DECL_EXPORT const char* shotlark_join_movies(const char* const* segments, int count,
                                               double seconds, const char* output) {
    static thread_local std::string error;
    const std::vector<std::filesystem::path> parts(segments, segments + count);
    return slkserver::joinSegments(parts, seconds, output, error) ? nullptr : error.c_str();
}

} // extern "C"
