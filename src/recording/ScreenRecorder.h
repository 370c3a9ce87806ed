#pragma once

#include "recording/RegionSelector.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

namespace shotlark {

namespace platform {
class RecordingBackends;
}

// Records one screen, or an area of it, to an H.264 MPEG-4 movie in the private temporary
// directory, with what the speakers play when asked. Frames are taken, stamped and encoded on
// the recorder's own thread ("shotlark.recorder"); a frame the encoder can't take in time is
// skipped, never queued. One recorder serves one recording.
class ScreenRecorder : public QObject {
    Q_OBJECT
public:
    // Read from the settings when the recorder is made.
    struct Settings {
        int frameRate = 30;            // 60 only when "recordFrameRate" is exactly 60
        double maxEdge = 1920;         // 2560 with "recordHighQuality"
        double bitsPerPixel = 0.06;    // 0.1 with "recordHighQuality"
        double maxBitrate = 8'000'000; // 20,000,000 with "recordHighQuality"
        static Settings fromConfig();
    };

    explicit ScreenRecorder(std::shared_ptr<platform::RecordingBackends> backends);
    ~ScreenRecorder() override;

    // Called on the main thread when the recording ends by itself (the screen went away, the
    // display or sound server was lost, the disk filled up); never after stop() began.
    std::function<void(const QString& reason)> onUnexpectedStop;

    // Starts recording; throws `Error`. With `captureAudio` and no sound server the recording
    // goes on without sound and audioProblem() says why.
    QCoro::Task<> start(Selection selection, bool captureAudio);
    // The stream's first picture, to choose an area on. Throws `Error` when it sent none.
    static QCoro::Task<QImage> firstPicture(std::shared_ptr<platform::ScreenCast> stream);
    // Ends the recording and hands back the movie file (the caller owns it). Throws `Error`.
    QCoro::Task<QString> stop();
    QString audioProblem() const { return audioProblem_; }
    const Settings& settings() const { return settings_; }

    // The movie's size for a picture of `pixels`: scaled down (never up) so that its longest
    // edge is at most `maxEdge`, each side cut to an integer, at least 2 and even.
    static QSize movieSize(QSizeF pixels, double maxEdge);
    static qint64 bitrate(QSize size, int frameRate, double bitsPerPixel, double maxBitrate);
    // "Recording_2026-03-03_14-05-09.mp4"
    static QString fileName(const QDateTime& when);

private:
    class Pipeline;

    Settings settings_;
    std::shared_ptr<platform::RecordingBackends> backends_;
    QThread thread_;
    Pipeline* pipeline_ = nullptr;
    bool started_ = false;
    bool stopping_ = false;
    QString path_;
    QString audioProblem_;
};

} // namespace shotlark
