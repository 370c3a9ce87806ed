#pragma once

// The movie side of a GIF conversion: its video decoder, bounded in frames, picture size and
// threads, and able to decode on a thread of its own a few frames ahead.
#include "GifConverter.h"
#include "MediaInput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace slkserver::gif {

namespace fs = std::filesystem;

template <typename T, void (*Free)(T**)> struct Freer {
    void operator()(T* p) const { Free(&p); }
};
using FramePtr = std::unique_ptr<AVFrame, Freer<AVFrame, av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, Freer<AVPacket, av_packet_free>>;
using CodecPtr = std::unique_ptr<AVCodecContext, Freer<AVCodecContext, avcodec_free_context>>;

inline const GifFailure notVideo{400, "The file is not a video that can be converted to a GIF"};
inline const GifFailure unreadable{400, "The video could not be decoded for the GIF conversion"};
inline const GifFailure internal{500, "The server failed to convert the video to a GIF"};
inline const GifFailure unwritable{507, "The server couldn't store the GIF"};
inline const GifFailure sizeChanged{400,
                                    "The video changes its picture size; it can't be converted to "
                                    "a GIF"};

inline std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The decoder of a movie's video stream. Only container formats a screen recording comes in
// are probed, and only the stored file: no image sequences, playlists or references.
struct Input {
    std::unique_ptr<MediaInput> media;
    AVFormatContext* format = nullptr;
    CodecPtr decoder;
    int stream = -1;
    int width = 0, height = 0; // every decoded frame must keep the size the decoder opened with
    int64_t decoded = 0;
    int64_t lastEnd = AV_NOPTS_VALUE; // where the last frame ends, in the stream's time base

    GifFailure open(const fs::path& path, const GifLimits& limits) {
        std::string error;
        media = MediaInput::open(path, Container::Movie, error);
        if (!media)
            return notVideo;
        format = media->format();
        AVFormatContext* raw = format;
        const AVCodec* codec = nullptr;
        stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream < 0 || !codec)
            return notVideo;
        const AVStream* video = raw->streams[stream];
        if (video->codecpar->width <= 0 || video->codecpar->height <= 0 ||
            int64_t(video->codecpar->width) * video->codecpar->height > int64_t(8192) * 8192)
            return notVideo;
        if (raw->duration != AV_NOPTS_VALUE &&
            double(raw->duration) / AV_TIME_BASE > limits.maxSeconds + 0.5)
            return tooLong(limits);
        if (video->nb_frames > maxFrames(limits))
            return tooManyFrames(limits);
        width = video->codecpar->width;
        height = video->codecpar->height;
        for (unsigned i = 0; i < raw->nb_streams; ++i)
            if (int(i) != stream)
                raw->streams[i]->discard = AVDISCARD_ALL;
        decoder.reset(avcodec_alloc_context3(codec));
        if (!decoder || avcodec_parameters_to_context(decoder.get(), video->codecpar) < 0)
            return internal;
        decoder->pkt_timebase = video->time_base;
        // Decoding is the most work, but one conversion must not take every processor.
        decoder->thread_count = std::max(1, limits.decoderThreads);
        if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
            return unreadable;
        return {};
    }

    // A movie's length is checked by its timestamps, which a file sets as it likes (frames a
    // microsecond apart): the work is bounded by the number of frames decoded as well.
    static int64_t maxFrames(const GifLimits& limits) {
        return int64_t(limits.maxSeconds * limits.maxSourceFps) + 1;
    }

    static GifFailure tooManyFrames(const GifLimits& limits) {
        return {413, "The recording has too many frames to convert to a GIF (at most " +
                         std::to_string(limits.maxSourceFps) +
                         " a second); upload it as a video instead"};
    }

    static GifFailure tooLong(const GifLimits& limits) {
        return {413, "The recording is too long to convert to a GIF (at most " +
                         seconds(limits.maxSeconds) + " s); upload it as a video instead"};
    }

    AVRational timeBase() const { return format->streams[stream]->time_base; }

    // Ends the frames sent to `source` where the last one ends (not where it begins).
    int end(AVFilterContext* source) const {
        return lastEnd == AV_NOPTS_VALUE ? av_buffersrc_add_frame(source, nullptr)
                                         : av_buffersrc_close(source, lastEnd, 0);
    }

    // Hands every decoded frame to `take` (which returns a failure to stop).
    template <typename Take> GifFailure decode(const GifLimits& limits, Take take) {
        PacketPtr packet(av_packet_alloc());
        FramePtr frame(av_frame_alloc());
        if (!packet || !frame)
            return internal;
        const double base = av_q2d(timeBase());
        const int64_t outputFrame =
            std::max<int64_t>(1, av_rescale_q(1, AVRational{1, limits.maxFps}, timeBase()));
        auto drain = [&]() -> GifFailure {
            for (;;) {
                const int got = avcodec_receive_frame(decoder.get(), frame.get());
                if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
                    return {};
                if (got < 0)
                    return unreadable;
                frame->pts = frame->best_effort_timestamp;
                if (frame->pts != AV_NOPTS_VALUE &&
                    double(frame->pts) * base > limits.maxSeconds + 1)
                    return tooLong(limits);
                if (++decoded > maxFrames(limits))
                    return tooManyFrames(limits);
                // A stream may change its size midway; the filters were set up for the first.
                if (frame->width != width || frame->height != height)
                    return sizeChanged;
                // At least one GIF frame long, or the rate filter drops a movie's only frame.
                if (frame->pts != AV_NOPTS_VALUE)
                    lastEnd = frame->pts + std::max(frame->pkt_duration, outputFrame);
                const GifFailure failure = take(frame.get());
                av_frame_unref(frame.get());
                if (failure)
                    return failure;
            }
        };
        for (;;) {
            const int read = av_read_frame(format, packet.get());
            if (read == AVERROR_EOF)
                break;
            if (read < 0)
                return unreadable;
            const bool ours = packet->stream_index == stream;
            const int sent = ours ? avcodec_send_packet(decoder.get(), packet.get()) : 0;
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR_INVALIDDATA)
                return unreadable;
            if (const GifFailure failure = drain())
                return failure;
        }
        avcodec_send_packet(decoder.get(), nullptr);
        return drain();
    }

    // As decode(), with the decoding on a thread of its own a few frames ahead, so that the
    // decoder works while the filters map the frames before (the two take about as long).
    template <typename Take> GifFailure decodeAhead(const GifLimits& limits, Take take) {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<FramePtr> ready;
        bool finished = false, abandoned = false;
        constexpr size_t ahead = 2;
        GifFailure decoded;
        std::thread reader([&] {
            decoded = decode(limits, [&](AVFrame* frame) -> GifFailure {
                FramePtr copy(av_frame_clone(frame));
                if (!copy)
                    return internal;
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return abandoned || ready.size() < ahead; });
                if (abandoned)
                    return internal; // not reported: the taker's failure is
                ready.push_back(std::move(copy));
                changed.notify_all();
                return {};
            });
            std::lock_guard lock(mutex);
            finished = true;
            changed.notify_all();
        });
        GifFailure taken;
        for (;;) {
            FramePtr frame;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return finished || !ready.empty(); });
                if (ready.empty())
                    break;
                frame = std::move(ready.front());
                ready.pop_front();
                changed.notify_all();
            }
            if ((taken = take(frame.get()))) {
                std::lock_guard lock(mutex);
                abandoned = true;
                changed.notify_all();
                break;
            }
        }
        reader.join();
        return taken ? taken : decoded;
    }
};

} // namespace slkserver::gif
