#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>

namespace shotlark {

namespace platform {
class RecordingBackends;
class ScreenCast;
} // namespace platform

// Records a screen in the background as ten-second H.264 segments
// ("segment-N.mp4" in a private "slk-replay-" directory), keeping the four newest finished
// ones, so that the last 30 seconds can be saved at any moment. All segment state lives on the
// buffer's own thread ("shotlark.replay").
class ReplayBuffer : public QObject {
    Q_OBJECT
public:
    explicit ReplayBuffer(std::shared_ptr<platform::RecordingBackends> backends);
    ~ReplayBuffer() override;

    // Called on the main thread when capture ends by itself; never after stop() began.
    std::function<void(const QString& reason)> onUnexpectedStop;

    // Records the screen under the pointer, or the whole of `stream` where the desktop hands
    // out streams. Throws `Error` ("No display to record", a directory or capture failure).
    QCoro::Task<> start(std::shared_ptr<platform::ScreenCast> stream = nullptr);
    // Closes the open segment and hands back "Replay_" copies of the finished ones, oldest
    // first (hard links where the file system allows). Never throws; empty before the first
    // frame. The copies belong to the caller.
    QCoro::Task<QStringList> save();
    // Ends capture and removes the segment directory. Never throws.
    QCoro::Task<> stop();
    bool isRunning() const { return running_; }
    QString directory() const { return dir_; }

    static constexpr int maxFinished = 4;
    static constexpr int segmentSeconds = 10;

private:
    class Segments;

    std::shared_ptr<platform::RecordingBackends> backends_;
    QThread thread_;
    Segments* segments_ = nullptr;
    QString dir_;
    bool running_ = false;
    bool stopping_ = false;
};

} // namespace shotlark
