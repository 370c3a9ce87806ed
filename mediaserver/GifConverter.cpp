#include "GifConverter.h"

#include "MediaInput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;

namespace {

template <typename T, void (*Free)(T**)> struct Freer {
    void operator()(T* p) const { Free(&p); }
};
using FramePtr = std::unique_ptr<AVFrame, Freer<AVFrame, av_frame_free>>;
using PacketPtr = std::unique_ptr<AVPacket, Freer<AVPacket, av_packet_free>>;
using CodecPtr = std::unique_ptr<AVCodecContext, Freer<AVCodecContext, avcodec_free_context>>;
using GraphPtr = std::unique_ptr<AVFilterGraph, Freer<AVFilterGraph, avfilter_graph_free>>;
struct InOutFreer {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutFreer>;

const GifFailure notVideo{400, "The file is not a video that can be converted to a GIF"};
const GifFailure unreadable{400, "The video could not be decoded for the GIF conversion"};
const GifFailure internal{500, "The server failed to convert the video to a GIF"};
const GifFailure unwritable{507, "The server couldn't store the GIF"};
const GifFailure sizeChanged{400, "The video changes its picture size; it can't be converted to "
                                  "a GIF"};

std::string seconds(double value) {
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

// The frame rate and size every pass uses, so that the palette matches the frames it maps.
struct Shape {
    AVRational rate;
    int width, height;

    static Shape of(const Input& input, const GifLimits& limits) {
        const AVStream* video = input.format->streams[input.stream];
        AVRational rate = video->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0 || av_q2d(rate) > limits.maxFps)
            rate = AVRational{limits.maxFps, 1};
        const int sourceWidth = video->codecpar->width, sourceHeight = video->codecpar->height;
        const int width = std::max(2, std::min(limits.maxWidth, sourceWidth) & ~1);
        const int height =
            std::max(2, int(std::lround(double(sourceHeight) * width / sourceWidth)) & ~1);
        return {rate, width, height};
    }

    std::string filters() const {
        return "fps=fps=" + std::to_string(rate.num) + "/" + std::to_string(rate.den) +
               ",scale=w=" + std::to_string(width) + ":h=" + std::to_string(height) +
               ":flags=lanczos";
    }
};

AVFilterContext* bufferSource(AVFilterGraph* graph, const char* name, int width, int height,
                              int format, AVRational timeBase, AVRational aspect) {
    char args[256];
    std::snprintf(args, sizeof args,
                  "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", width, height,
                  format, timeBase.num, timeBase.den, aspect.num > 0 ? aspect.num : 1,
                  aspect.den > 0 ? aspect.den : 1);
    AVFilterContext* context = nullptr;
    if (avfilter_graph_create_filter(&context, avfilter_get_by_name("buffer"), name, args, nullptr,
                                     graph) < 0)
        return nullptr;
    return context;
}

InOutPtr endpoint(const char* label, AVFilterContext* context, InOutPtr next = nullptr) {
    InOutPtr inout(avfilter_inout_alloc());
    inout->name = av_strdup(label);
    inout->filter_ctx = context;
    inout->pad_idx = 0;
    inout->next = next.release();
    return inout;
}

// A filter graph from the decoder's frames (and an optional palette) to a sink.
struct Graph {
    GraphPtr graph{avfilter_graph_alloc()};
    AVFilterContext* source = nullptr;
    AVFilterContext* palette = nullptr;
    AVFilterContext* sink = nullptr;

    bool build(const AVCodecContext* decoder, AVRational timeBase, const std::string& description,
               bool withPalette) {
        if (!graph)
            return false;
        source = bufferSource(graph.get(), "in", decoder->width, decoder->height, decoder->pix_fmt,
                              timeBase, decoder->sample_aspect_ratio);
        if (withPalette)
            palette = bufferSource(graph.get(), "palette", 16, 16, AV_PIX_FMT_BGRA,
                                   AVRational{1, 1}, AVRational{1, 1});
        if (!source || (withPalette && !palette) ||
            avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                         nullptr, graph.get()) < 0)
            return false;
        // Named from the graph text's point of view: its inputs are our sources' outputs.
        InOutPtr outputs = withPalette ? endpoint("in", source, endpoint("palette", palette))
                                       : endpoint("in", source);
        InOutPtr inputs = endpoint("out", sink);
        AVFilterInOut* in = inputs.release();
        AVFilterInOut* out = outputs.release();
        const int parsed =
            avfilter_graph_parse_ptr(graph.get(), description.c_str(), &in, &out, nullptr);
        avfilter_inout_free(&in);
        avfilter_inout_free(&out);
        return parsed >= 0 && avfilter_graph_config(graph.get(), nullptr) >= 0;
    }
};

// First pass: one palette for the whole movie, weighted by what changes between frames.
GifFailure buildPalette(const fs::path& movie, const GifLimits& limits, FramePtr& palette) {
    Input input;
    if (const GifFailure failure = input.open(movie, limits))
        return failure;
    const Shape shape = Shape::of(input, limits);
    Graph graph;
    if (!graph.build(input.decoder.get(), input.timeBase(),
                     "[in]" + shape.filters() + ",palettegen=stats_mode=diff[out]", false))
        return internal;
    const GifFailure decoded = input.decodeAhead(limits, [&](AVFrame* frame) -> GifFailure {
        return av_buffersrc_add_frame_flags(graph.source, frame,
                                            AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH) < 0
                   ? unreadable
                   : GifFailure{};
    });
    if (decoded)
        return decoded;
    if (input.end(graph.source) < 0)
        return internal;
    palette.reset(av_frame_alloc());
    if (av_buffersink_get_frame(graph.sink, palette.get()) < 0)
        return unreadable; // no frame at all
    return {};
}

struct Output {
    AVFormatContext* format = nullptr;
    CodecPtr encoder;
    PacketPtr packet{av_packet_alloc()};
    bool opened = false;
    bool muxing = false; // between the header and the trailer

    ~Output() {
        if (format) {
            // The muxer frees what it holds (the GIF muxer: a packet) only in its trailer, also
            // when the conversion stopped halfway; the file goes anyway.
            if (muxing)
                av_write_trailer(format);
            if (opened)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }

    GifFailure open(const fs::path& path, AVFilterContext* sink) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_GIF);
        if (!codec || !packet ||
            avformat_alloc_output_context2(&format, nullptr, "gif", path.c_str()) < 0)
            return internal;
        encoder.reset(avcodec_alloc_context3(codec));
        encoder->width = av_buffersink_get_w(sink);
        encoder->height = av_buffersink_get_h(sink);
        encoder->pix_fmt = AV_PIX_FMT_PAL8;
        encoder->time_base = av_buffersink_get_time_base(sink);
        if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
            return internal;
        AVStream* stream = avformat_new_stream(format, nullptr);
        if (!stream || avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0)
            return internal;
        stream->time_base = encoder->time_base;
        if (avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
            return unwritable;
        opened = true;
        if (avformat_write_header(format, nullptr) < 0)
            return unwritable;
        muxing = true;
        return {};
    }

    // Encodes `frame` (null: the end) and writes what the encoder gives back.
    GifFailure encode(const AVFrame* frame, const GifLimits& limits) {
        if (avcodec_send_frame(encoder.get(), frame) < 0)
            return internal;
        for (;;) {
            const int got = avcodec_receive_packet(encoder.get(), packet.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
                return {};
            if (got < 0)
                return internal;
            av_packet_rescale_ts(packet.get(), encoder->time_base, format->streams[0]->time_base);
            packet->stream_index = 0;
            const int written = av_write_frame(format, packet.get());
            av_packet_unref(packet.get());
            if (written < 0 || format->pb->error < 0)
                return unwritable;
            if (avio_tell(format->pb) > limits.maxOutputBytes)
                return {413, "The GIF would be larger than this server accepts; upload the "
                             "recording as a video instead"};
        }
    }

    GifFailure finish() {
        muxing = false;
        if (av_write_trailer(format) < 0)
            return unwritable;
        opened = false;
        return avio_closep(&format->pb) < 0 ? unwritable : GifFailure{};
    }
};

// Second pass: every frame mapped to the palette and encoded.
GifFailure writeGif(const fs::path& movie, const fs::path& gif, const GifLimits& limits,
                    AVFrame* palette) {
    Input input;
    if (const GifFailure failure = input.open(movie, limits))
        return failure;
    const Shape shape = Shape::of(input, limits);
    Graph graph;
    // The ordered dither repeats between frames, so unchanged areas stay unchanged and the
    // encoder can leave them out; "rectangle" maps only the part that changed.
    if (!graph.build(input.decoder.get(), input.timeBase(),
                     "[in]" + shape.filters() +
                         "[frames];[frames][palette]paletteuse=dither=bayer:bayer_scale=5:"
                         "diff_mode=rectangle[out]",
                     true))
        return internal;
    palette->pts = 0;
    if (av_buffersrc_add_frame_flags(graph.palette, palette,
                                     AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH) < 0 ||
        av_buffersrc_add_frame(graph.palette, nullptr) < 0)
        return internal;

    Output output;
    FramePtr mapped(av_frame_alloc());
    auto pull = [&]() -> GifFailure {
        for (;;) {
            const int got = av_buffersink_get_frame(graph.sink, mapped.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
                return {};
            if (got < 0)
                return internal;
            GifFailure failure;
            if (!output.format)
                failure = output.open(gif, graph.sink);
            if (!failure)
                failure = output.encode(mapped.get(), limits);
            av_frame_unref(mapped.get());
            if (failure)
                return failure;
        }
    };
    const GifFailure decoded = input.decodeAhead(limits, [&](AVFrame* frame) -> GifFailure {
        if (av_buffersrc_add_frame_flags(graph.source, frame,
                                         AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH) < 0)
            return unreadable;
        return pull();
    });
    if (decoded)
        return decoded;
    if (input.end(graph.source) < 0)
        return internal;
    if (const GifFailure failure = pull())
        return failure;
    if (!output.format)
        return unreadable;
    if (const GifFailure failure = output.encode(nullptr, limits))
        return failure;
    return output.finish();
}

bool syncFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

} // namespace

GifFailure convertToGif(const fs::path& movie, const fs::path& gif, const GifLimits& limits) {
    av_log_set_level(AV_LOG_QUIET);
    std::error_code ec;
    const auto size = fs::file_size(movie, ec);
    if (ec)
        return notVideo;
    if (int64_t(size) > limits.maxInputBytes)
        return {413, "The recording is too large to convert to a GIF (at most " +
                         std::to_string(limits.maxInputBytes / (1024 * 1024)) +
                         " MiB); upload it as a video instead"};
    FramePtr palette;
    GifFailure failure = buildPalette(movie, limits, palette);
    if (!failure)
        failure = writeGif(movie, gif, limits, palette.get());
    if (!failure && !syncFile(gif))
        failure = unwritable;
    if (failure)
        fs::remove(gif, ec);
    return failure;
}

} // namespace slkserver
