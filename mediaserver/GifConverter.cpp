#include "GifConverter.h"

#include "GifInput.h"

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
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace slkserver {

namespace fs = std::filesystem;

namespace {

using namespace gif;

using GraphPtr = std::unique_ptr<AVFilterGraph, Freer<AVFilterGraph, avfilter_graph_free>>;
struct InOutFreer {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutFreer>;

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
