// The movie writer on FFmpeg's libraries: H.264 through libx264, AAC through FFmpeg's own
// encoder, MPEG-4 with the index moved to the front when the file is complete.
//
// Why H.264 in MP4 and not VP9 in WebM: every browser and phone plays it inline, x264 holds
// 1080p30 in real time on under a core, and the server can hand the file on unchanged.
#include "platform/RecordingBackends.h"

#include "base/Errors.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <cstring>
#include <malloc.h>
#include <vector>

namespace shotlark::platform {

namespace {

constexpr int sampleRate = 48000;
constexpr AVRational videoTimeBase{1, 90000};

QString ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

class FfmpegMovieWriter : public MovieWriter {
public:
    ~FfmpegMovieWriter() override {
        if (container_)
            cancel();
        if (fifo_)
            av_audio_fifo_free(fifo_);
    }

    void open(const MovieFormat& format) override {
        av_log_set_level(AV_LOG_ERROR); // x264's statistics are no news for a user's log
        format_ = format;
        const QByteArray path = QFile::encodeName(format.path);
        int result = avformat_alloc_output_context2(&container_, nullptr, "mp4", path.constData());
        if (result < 0 || !container_)
            throw Error(QStringLiteral("Couldn't start the video encoder"));
        openVideo();
        if (format.audio)
            openAudio();
        result = avio_open(&container_->pb, path.constData(), AVIO_FLAG_WRITE);
        if (result < 0)
            fail(QStringLiteral("Couldn't create the recording: ") + ffmpegError(result));
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);
        result = avformat_write_header(container_, &options);
        av_dict_free(&options);
        if (result < 0)
            fail(QStringLiteral("Couldn't start the recording: ") + ffmpegError(result));
        packet_.reset(av_packet_alloc());
    }

    void writeVideo(const QImage& picture, Nanoseconds time) override {
        const int64_t pts = av_rescale_q(time.count(), AVRational{1, 1'000'000'000}, videoTimeBase);
        if (pts <= lastVideoPts_)
            return; // two pictures for one moment: the first stands
        AVFrame* frame = nextFrame();
        const uchar* pixels = picture.constBits();
        int stride = static_cast<int>(picture.bytesPerLine());
        if (picture.width() != format_.size.width() || picture.height() != format_.size.height()) {
            // Only ever scaled down (the longest edge is bounded), with a box filter.
            scaled_.resize(static_cast<size_t>(format_.size.width()) * format_.size.height() * 4);
            libyuv::ARGBScale(pixels, stride, picture.width(), picture.height(), scaled_.data(),
                              format_.size.width() * 4, format_.size.width(), format_.size.height(),
                              libyuv::kFilterBox);
            pixels = scaled_.data();
            stride = format_.size.width() * 4;
        }
        // BT.601 limited range, as the stream is tagged.
        libyuv::ARGBToI420(pixels, stride, frame->data[0], frame->linesize[0], frame->data[1],
                           frame->linesize[1], frame->data[2], frame->linesize[2],
                           format_.size.width(), format_.size.height());
        frame->pts = pts;
        lastVideoPts_ = pts;
        encode(video_.get(), videoStream_, frame);
    }

    void writeAudio(const float* samples, int frames, Nanoseconds time) override {
        if (!audio_)
            return;
        const int64_t first = av_rescale(time.count(), sampleRate, 1'000'000'000);
        // Sound from before the movie's start is not in it; silence fills the time before the
        // first chunk and any later gap of more than a tenth of a second; overlaps are trimmed.
        int skip = 0;
        if (first < nextSample_)
            skip = static_cast<int>(std::min<int64_t>(nextSample_ - first, frames));
        else if (first > nextSample_ && (nextSample_ == 0 || first - nextSample_ > sampleRate / 10))
            pushSilence(static_cast<int>(first - nextSample_));
        if (skip >= frames)
            return;
        pushInterleaved(samples + 2 * skip, frames - skip);
        drainAudio(false);
    }

    void finish(Nanoseconds end) override {
        if (!container_)
            throw Error(QStringLiteral("The recording couldn't be saved"));
        // The time line runs to `end`: the last picture is shown until then.
        const int64_t endPts =
            av_rescale_q(end.count(), AVRational{1, 1'000'000'000}, videoTimeBase);
        const int64_t interval = videoTimeBase.den / format_.fps;
        if (last_ && endPts - interval > lastVideoPts_) {
            Frame repeat(av_frame_clone(last_.get()));
            repeat->pts = endPts - interval;
            lastVideoPts_ = repeat->pts;
            encode(video_.get(), videoStream_, repeat.get());
        }
        encode(video_.get(), videoStream_, nullptr);
        if (audio_) {
            drainAudio(true);
            encode(audio_.get(), audioStream_, nullptr);
        }
        const int result = av_write_trailer(container_);
        if (result < 0)
            fail(QStringLiteral("The recording couldn't be saved: ") + ffmpegError(result));
        const int closed = avio_closep(&container_->pb);
        avformat_free_context(std::exchange(container_, nullptr));
        // The encoder's tens of megabytes go back to the system, not into the heap's free
        // lists: a replay buffer opens a new encoder every ten seconds.
        video_.reset();
        audio_.reset();
        last_.reset();
        ::malloc_trim(0);
        if (closed < 0) {
            QFile::remove(format_.path);
            throw Error(QStringLiteral("The recording couldn't be saved: ") + ffmpegError(closed));
        }
    }

    void cancel() override {
        if (!container_)
            return;
        if (container_->pb)
            avio_closep(&container_->pb);
        avformat_free_context(std::exchange(container_, nullptr));
        QFile::remove(format_.path);
    }

private:
    [[noreturn]] void fail(const QString& message) {
        cancel();
        throw Error(message);
    }

    void openVideo() {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            fail(QStringLiteral("Couldn't start the video encoder"));
        video_.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = video_.get();
        c->width = format_.size.width();
        c->height = format_.size.height();
        c->time_base = videoTimeBase;
        c->framerate = AVRational{format_.fps, 1};
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->bit_rate = format_.bitrate;
        c->gop_size = format_.keyInterval;
        c->color_range = AVCOL_RANGE_MPEG;
        c->colorspace = AVCOL_SPC_SMPTE170M;
        c->color_primaries = AVCOL_PRI_SMPTE170M;
        c->color_trc = AVCOL_TRC_SMPTE170M;
        if (container_->oformat->flags & AVFMT_GLOBALHEADER)
            c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        // "veryfast" holds 1080p30 in real time on two cores and, unlike "ultrafast", gives the
        // High profile. "zerolatency" (no B-frames, no lookahead, threads by slices) encodes
        // each frame as it comes: nothing waits in the encoder, a stop is immediate, and x264
        // needs about a quarter of the memory of its frame-threaded default at 1080p.
        av_opt_set(c->priv_data, "preset", "veryfast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        av_opt_set(c->priv_data, "profile", "high", 0);
        const int result = avcodec_open2(c, codec, nullptr);
        if (result < 0)
            fail(QStringLiteral("Couldn't start the video encoder"));
        videoStream_ = avformat_new_stream(container_, nullptr);
        avcodec_parameters_from_context(videoStream_->codecpar, c);
        videoStream_->time_base = videoTimeBase;
        videoStream_->avg_frame_rate = AVRational{format_.fps, 1};
    }

    void openAudio() {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec)
            fail(QStringLiteral("Couldn't start the audio encoder"));
        audio_.reset(avcodec_alloc_context3(codec));
        AVCodecContext* c = audio_.get();
        c->sample_rate = sampleRate;
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&c->ch_layout, 2);
        c->bit_rate = 128000;
        c->time_base = AVRational{1, sampleRate};
        if (container_->oformat->flags & AVFMT_GLOBALHEADER)
            c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(c, codec, nullptr) < 0)
            fail(QStringLiteral("Couldn't start the audio encoder"));
        audioStream_ = avformat_new_stream(container_, nullptr);
        avcodec_parameters_from_context(audioStream_->codecpar, c);
        audioStream_->time_base = c->time_base;
        fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, sampleRate);
    }

    // The next frame to fill: the previous one again when the encoder no longer holds it (x264
    // copies each picture in), else a new one.
    AVFrame* nextFrame() {
        if (last_ && av_frame_make_writable(last_.get()) == 0)
            return last_.get();
        Frame frame(av_frame_alloc());
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = format_.size.width();
        frame->height = format_.size.height();
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            throw Error(QStringLiteral("Out of memory while recording"));
        last_ = std::move(frame);
        return last_.get();
    }

    void pushInterleaved(const float* samples, int frames) {
        planes_[0].resize(static_cast<size_t>(frames));
        planes_[1].resize(static_cast<size_t>(frames));
        for (int i = 0; i < frames; ++i) {
            planes_[0][static_cast<size_t>(i)] = samples[2 * i];
            planes_[1][static_cast<size_t>(i)] = samples[2 * i + 1];
        }
        void* data[2] = {planes_[0].data(), planes_[1].data()};
        av_audio_fifo_write(fifo_, data, frames);
        nextSample_ += frames;
    }

    void pushSilence(int frames) {
        std::vector<float> silence(static_cast<size_t>(frames) * 2, 0.0f);
        pushInterleaved(silence.data(), frames);
    }

    // Encodes whole AAC frames from the FIFO; at the end also the rest, padded with silence.
    void drainAudio(bool all) {
        const int size = audio_->frame_size;
        while (av_audio_fifo_size(fifo_) >= size || (all && av_audio_fifo_size(fifo_) > 0)) {
            Frame frame(av_frame_alloc());
            frame->nb_samples = size;
            frame->format = AV_SAMPLE_FMT_FLTP;
            av_channel_layout_copy(&frame->ch_layout, &audio_->ch_layout);
            frame->sample_rate = sampleRate;
            if (av_frame_get_buffer(frame.get(), 0) < 0)
                throw Error(QStringLiteral("Out of memory while recording"));
            const int got = av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->data), size);
            for (int channel = 0; channel < 2 && got < size; ++channel)
                std::memset(frame->data[channel] + got * sizeof(float), 0,
                            static_cast<size_t>(size - got) * sizeof(float));
            frame->pts = audioPts_;
            audioPts_ += size;
            encode(audio_.get(), audioStream_, frame.get());
        }
    }

    // Sends a frame (or the end, with nullptr) and writes every packet that comes out.
    void encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
        int result = avcodec_send_frame(codec, frame);
        if (result < 0 && result != AVERROR_EOF)
            throw Error(QStringLiteral("The encoder failed: ") + ffmpegError(result));
        for (;;) {
            result = avcodec_receive_packet(codec, packet_.get());
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return;
            if (result < 0)
                throw Error(QStringLiteral("The encoder failed: ") + ffmpegError(result));
            av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
            packet_->stream_index = stream->index;
            result = av_interleaved_write_frame(container_, packet_.get());
            if (result < 0)
                throw Error(QStringLiteral("Couldn't write the recording: ") + ffmpegError(result));
        }
    }

    MovieFormat format_;
    AVFormatContext* container_ = nullptr;
    CodecContext video_;
    CodecContext audio_;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    Packet packet_;
    Frame last_;
    std::vector<uint8_t> scaled_;
    std::vector<float> planes_[2];
    int64_t lastVideoPts_ = -1;
    int64_t nextSample_ = 0;
    int64_t audioPts_ = 0;
};

} // namespace

std::unique_ptr<MovieWriter> makeFfmpegMovieWriter() {
    return std::make_unique<FfmpegMovieWriter>();
}

} // namespace shotlark::platform
