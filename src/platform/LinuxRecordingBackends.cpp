#include "platform/RecordingBackends.h"

#include "platform/x11/ShmGrabber.h"
#include "platform/x11/X11FrameSource.h"

namespace shotlark::platform {

std::unique_ptr<FrameSource> LinuxRecordingBackends::frameSource() {
    return x11::makeFrameSource();
}

std::unique_ptr<AudioSource> LinuxRecordingBackends::audioSource() {
    return makePulseAudioSource();
}

std::unique_ptr<MovieWriter> LinuxRecordingBackends::movieWriter() {
    return makeFfmpegMovieWriter();
}

QList<QImage> LinuxRecordingBackends::freezeScreens() {
    return x11::freezeScreens();
}

} // namespace shotlark::platform
