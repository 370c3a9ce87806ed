#include "ReplayJoin.h"

#include "MediaInput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <cstring>
#include <memory>

namespace slkserver {

namespace fs = std::filesystem;

namespace {

constexpr AVRational outputTimeBase{1, 90000};

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// One segment: its only video stream, where its time line starts and how long it runs.
struct Segment {
    std::unique_ptr<MediaInput> input;
    int stream = -1;
    AVRational timeBase{};
    int64_t firstDts = 0; // in the segment's time base
    int64_t length = 0;   // in the output time base
    int64_t offset = 0;   // where it begins in the joined time line, output time base
};

bool openSegment(const fs::path& path, Segment& segment, std::string& error) {
    std::string why;
    segment.input = MediaInput::open(path, Container::Mp4, why);
    if (!segment.input) {
        error = "A segment is not a readable movie";
        return false;
    }
    AVFormatContext* raw = segment.input->format();
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            segment.stream = static_cast<int>(i);
            break;
        }
    }
    if (segment.stream < 0 ||
        raw->streams[segment.stream]->codecpar->codec_id != AV_CODEC_ID_H264) {
        error = "Segments must hold H.264 video";
        return false;
    }
    segment.timeBase = raw->streams[segment.stream]->time_base;
    // The first pass: where its packets start and end (packets are read and let go at once).
    Packet packet(av_packet_alloc());
    bool first = true;
    int64_t end = 0;
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == segment.stream && packet->dts != AV_NOPTS_VALUE) {
            if (first) {
                segment.firstDts = packet->dts;
                first = false;
            }
            end = std::max(end, packet->dts + std::max<int64_t>(packet->duration, 0));
        }
        av_packet_unref(packet.get());
    }
    if (first) {
        error = "A segment holds no video";
        return false;
    }
    segment.length = av_rescale_q(end - segment.firstDts, segment.timeBase, outputTimeBase);
    return av_seek_frame(raw, segment.stream, segment.firstDts, AVSEEK_FLAG_BACKWARD) >= 0 ||
           (error = "A segment can't be read twice", false);
}

// The joined time line of a packet of `segment`, in the output time base.
int64_t joined(const Segment& segment, int64_t timestamp) {
    return segment.offset +
           av_rescale_q(timestamp - segment.firstDts, segment.timeBase, outputTimeBase);
}

} // namespace

bool joinSegments(const std::vector<fs::path>& paths, double seconds, const fs::path& output,
                  std::string& error) {
    av_log_set_level(AV_LOG_QUIET);
    if (paths.empty()) {
        error = "Expected at least one part named \"file\"";
        return false;
    }
    std::vector<Segment> segments(paths.size());
    int64_t total = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!openSegment(paths[i], segments[i], error))
            return false;
        const AVCodecParameters* mine =
            segments[i].input->format()->streams[segments[i].stream]->codecpar;
        const AVCodecParameters* firsts =
            segments[0].input->format()->streams[segments[0].stream]->codecpar;
        if (mine->width != firsts->width || mine->height != firsts->height ||
            mine->extradata_size != firsts->extradata_size ||
            (mine->extradata_size > 0 &&
             std::memcmp(mine->extradata, firsts->extradata,
                         static_cast<size_t>(mine->extradata_size)) != 0)) {
            error = "The segments disagree in picture size or encoding";
            return false;
        }
        segments[i].offset = total;
        total += segments[i].length;
    }

    // Keep the last `seconds`, from the key frame at or before where they begin.
    const int64_t wanted = static_cast<int64_t>(seconds * outputTimeBase.den);
    int64_t start = 0;
    if (total > wanted) {
        const int64_t cut = total - wanted;
        Packet packet(av_packet_alloc());
        for (Segment& segment : segments) {
            if (segment.offset > cut)
                break;
            while (av_read_frame(segment.input->format(), packet.get()) >= 0) {
                if (packet->stream_index == segment.stream && (packet->flags & AV_PKT_FLAG_KEY) &&
                    packet->dts != AV_NOPTS_VALUE) {
                    const int64_t at = joined(segment, packet->dts);
                    if (at <= cut)
                        start = at;
                }
                av_packet_unref(packet.get());
            }
            av_seek_frame(segment.input->format(), segment.stream, segment.firstDts,
                          AVSEEK_FLAG_BACKWARD);
        }
    }

    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, "mp4", output.c_str()) < 0) {
        error = "The server couldn't join the replay";
        return false;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> container(
        out, [](AVFormatContext* context) {
            if (context->pb)
                avio_closep(&context->pb);
            avformat_free_context(context);
        });
    AVStream* video = avformat_new_stream(out, nullptr);
    avcodec_parameters_copy(video->codecpar,
                            segments[0].input->format()->streams[segments[0].stream]->codecpar);
    video->codecpar->codec_tag = 0;
    video->time_base = outputTimeBase;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    bool ok = avio_open(&out->pb, output.c_str(), AVIO_FLAG_WRITE) >= 0 &&
              avformat_write_header(out, &options) >= 0;
    av_dict_free(&options);

    Packet packet(av_packet_alloc());
    bool started = false;
    for (Segment& segment : segments) {
        if (!ok)
            break;
        while (ok && av_read_frame(segment.input->format(), packet.get()) >= 0) {
            if (packet->stream_index == segment.stream && packet->dts != AV_NOPTS_VALUE) {
                const int64_t dts = joined(segment, packet->dts);
                const bool key = packet->flags & AV_PKT_FLAG_KEY;
                if (!started && key && dts >= start)
                    started = true;
                if (started) {
                    const int64_t pts =
                        packet->pts == AV_NOPTS_VALUE ? dts : joined(segment, packet->pts);
                    packet->dts = dts - start;
                    packet->pts = pts - start;
                    packet->duration =
                        av_rescale_q(packet->duration, segment.timeBase, outputTimeBase);
                    packet->stream_index = 0;
                    packet->pos = -1;
                    ok = av_interleaved_write_frame(out, packet.get()) >= 0;
                }
            }
            av_packet_unref(packet.get());
        }
    }
    ok = ok && started && av_write_trailer(out) >= 0;
    container.reset();
    if (!ok) {
        std::error_code ignored;
        fs::remove(output, ignored);
        error = started ? "The server couldn't write the joined replay"
                        : "The segments hold no key frame to start from";
    }
    return ok;
}

} // namespace slkserver
