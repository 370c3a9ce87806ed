#pragma once

#include "platform/Recording.h"

namespace shotlark::platform {

// FFmpeg's libraries (libx264, AAC, MPEG-4).
std::unique_ptr<MovieWriter> makeFfmpegMovieWriter();
// PulseAudio (or PipeWire's PulseAudio server): the monitor of the default sink.
std::unique_ptr<AudioSource> makePulseAudioSource();

// X11 frames, or in a Wayland session the ScreenCast portal's PipeWire streams; PulseAudio
// sound, FFmpeg movies.
class LinuxRecordingBackends : public RecordingBackends {
public:
    bool streamsOnly() const override;
    QCoro::Task<ScreenCastChoice> screenCast(QString restoreToken) override;
    std::unique_ptr<FrameSource> frameSource() override;
    std::unique_ptr<AudioSource> audioSource() override;
    std::unique_ptr<MovieWriter> movieWriter() override;
    QList<QImage> freezeScreens() override;
    QString convertToGif(const QString& movie, const QString& gif) override;
    QString joinMovies(const QStringList& segments, double seconds, const QString& output) override;
};

} // namespace shotlark::platform
