#include "platform/RecordingBackends.h"

#include "base/Errors.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <thread>
#include <vector>

namespace shotlark::platform {

namespace {

constexpr int sampleRate = 48000;
constexpr int chunkFrames = sampleRate / 50; // 20 ms a read

class PulseAudioSource : public AudioSource {
public:
    ~PulseAudioSource() override { stop(); }

    void start(Handlers handlers) override {
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, sampleRate, 2};
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.fragsize = chunkFrames * 2 * sizeof(float);
        int error = 0;
        // "@DEFAULT_MONITOR@" follows the default output: what the speakers play.
        stream_ = pa_simple_new(nullptr, "Shotlark", PA_STREAM_RECORD, "@DEFAULT_MONITOR@",
                                "Screen recording", &format, nullptr, &attributes, &error);
        if (!stream_)
            throw Error(QStringLiteral("Couldn't reach the sound server: ") +
                        QString::fromUtf8(pa_strerror(error)));
        handlers_ = std::move(handlers);
        running_ = true;
        reader_ = std::thread([this] { read(); });
    }

    void stop() override {
        running_ = false;
        if (reader_.joinable())
            reader_.join();
        if (stream_)
            pa_simple_free(std::exchange(stream_, nullptr));
    }

private:
    void read() {
        std::vector<float> buffer(static_cast<size_t>(chunkFrames) * 2);
        while (running_) {
            int error = 0;
            if (pa_simple_read(stream_, buffer.data(), buffer.size() * sizeof(float), &error) < 0) {
                if (running_ && handlers_.stopped)
                    handlers_.stopped(QStringLiteral("The sound server went away: ") +
                                      QString::fromUtf8(pa_strerror(error)));
                return;
            }
            // The chunk's first sample was heard a chunk plus the server's latency ago.
            const pa_usec_t latency = pa_simple_get_latency(stream_, &error);
            const Nanoseconds heard = monotonicNow() - std::chrono::microseconds(latency) -
                                      std::chrono::milliseconds(1000 * chunkFrames / sampleRate);
            if (handlers_.chunk)
                handlers_.chunk(buffer.data(), chunkFrames, heard);
        }
    }

    pa_simple* stream_ = nullptr;
    Handlers handlers_;
    std::atomic<bool> running_{false};
    std::thread reader_;
};

} // namespace

std::unique_ptr<AudioSource> makePulseAudioSource() {
    return std::make_unique<PulseAudioSource>();
}

} // namespace shotlark::platform
