#pragma once

// The desktop's side of screen recording, behind small ports: where frames and sound come from
// and what writes the movie. X11 grabs or the ScreenCast portal's PipeWire streams, PulseAudio
// and FFmpeg stand behind them.
#include "base/Errors.h"

#include <QCoro/QCoroTask>
#include <QImage>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

namespace shotlark::platform {

using Nanoseconds = std::chrono::nanoseconds;

// The monotonic clock every frame and sound chunk is stamped with.
inline Nanoseconds monotonicNow() {
    return std::chrono::duration_cast<Nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

// Frames of an area of the screen at a steady rate.
class FrameSource {
public:
    struct Handlers {
        // A picture of the area (32-bit BGRx, valid during the call) and when it was taken.
        std::function<void(const QImage& picture, Nanoseconds time)> frame;
        // The source ended by itself (the screen went away, the display connection broke).
        std::function<void(const QString& reason)> stopped;
    };
    virtual ~FrameSource() = default;
    // Starts delivering frames of `area` (device pixels of the whole desktop) about `fps` times a
    // second, on the calling thread, whose event loop must run. Throws `Error`.
    virtual void start(const QRect& area, int fps, Handlers handlers) = 0;
    virtual void stop() = 0;
};

// What the speakers play: the monitor of the default output, 48 kHz stereo.
class AudioSource {
public:
    struct Handlers {
        // Interleaved stereo samples and when the first of them was heard; on the source's own
        // thread.
        std::function<void(const float* samples, int frames, Nanoseconds time)> chunk;
        std::function<void(const QString& reason)> stopped;
    };
    virtual ~AudioSource() = default;
    // Connects to the sound server and starts reading. Throws `Error` when it can't.
    virtual void start(Handlers handlers) = 0;
    virtual void stop() = 0;
};

struct MovieFormat {
    QString path;
    QSize size; // of the movie; pictures of another size are scaled to it
    int fps = 30;
    qint64 bitrate = 0;   // bits a second
    int keyInterval = 60; // frames between key frames, at most
    bool audio = false;   // an AAC track, 48 kHz stereo, 128 kb/s
};

// The movie: H.264 (High profile) and AAC in MPEG-4 with its index at the front. Times are
// relative to the movie's start. Used from one thread.
class MovieWriter {
public:
    virtual ~MovieWriter() = default;
    // Creates the file and the encoders. Throws `Error`.
    virtual void open(const MovieFormat& format) = 0;
    // Encodes one picture (32-bit BGRx). Throws `Error` when the file can't be written.
    virtual void writeVideo(const QImage& picture, Nanoseconds time) = 0;
    virtual void writeAudio(const float* samples, int frames, Nanoseconds time) = 0;
    // Ends the movie at `end` and completes the file. Throws `Error`; the file is gone then.
    virtual void finish(Nanoseconds end) = 0;
    // Drops the movie and its file.
    virtual void cancel() = 0;
};

// A screen or a window the desktop streams to us once the user picked it (Wayland). Ends when
// the last holder lets it go.
class ScreenCast {
public:
    virtual ~ScreenCast() = default;
    // In pixels, as the desktop announced it (or a best guess).
    virtual QSize size() const = 0;
    // Where the streamed monitor lies on the desktop, in logical pixels; empty for a window or
    // when the desktop didn't say.
    virtual QRect placement() const = 0;
    virtual bool isWindow() const = 0;
    // The stream's frames; the `area` its start() is given is a part of the stream in units of
    // size(), whatever size the pictures really have.
    virtual std::unique_ptr<FrameSource> frameSource() = 0;
};

struct ScreenCastChoice {
    std::shared_ptr<ScreenCast> cast; // null when the user declined
    QString restoreToken;             // hands the same choice to the next request without asking
};

// The desktop offers no screen casts at all (no ScreenCast portal).
class NoScreenCastPortal : public Error {
public:
    using Error::Error;
};

// Makes the above for each recording.
class RecordingBackends {
public:
    virtual ~RecordingBackends() = default;
    // Whether the screen can be read only through a stream the desktop hands out (a Wayland
    // session): then recordings ask for a screenCast() instead of choosing an area.
    virtual bool streamsOnly() const = 0;
    // Asks the desktop for a stream of a screen or window, which the user chooses unless
    // `restoreToken` (from an earlier choice) is still good. Throws `NoScreenCastPortal`, `Error`.
    virtual QCoro::Task<ScreenCastChoice> screenCast(QString restoreToken) = 0;
    virtual std::unique_ptr<FrameSource> frameSource() = 0;
    virtual std::unique_ptr<AudioSource> audioSource() = 0;
    virtual std::unique_ptr<MovieWriter> movieWriter() = 0;
    // What every screen (in Qt's order) shows now, in device pixels: the picture under the
    // area chooser.
    virtual QList<QImage> freezeScreens() = 0;
    // What the Shotlark server does with a recording, done here for an upload server that
    // can't: blocking (for a worker thread); empty on success, else why.
    virtual QString convertToGif(const QString& movie, const QString& gif) = 0;
    virtual QString joinMovies(const QStringList& segments, double seconds,
                               const QString& output) = 0;
};

} // namespace shotlark::platform
