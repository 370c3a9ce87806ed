// The entry points of libshotlark-recording.so. FFmpeg's and PipeWire's libraries pull in some 130
// more shared libraries; loading them only when a recording starts keeps the tray app's start and
// idle memory where they were.
#include "platform/RecordingBackends.h"
#include "platform/wayland/PipeWireFrameSource.h"

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

} // extern "C"
