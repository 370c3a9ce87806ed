#include "Thumbnails.h"

#include "MediaInput.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <libyuv/convert_argb.h>

#include <memory>

namespace slkserver {

namespace {
std::string png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}
} // namespace

std::string scaledImagePng(const std::filesystem::path& image, int edge) {
    QImageReader reader(QString::fromStdString(image.string()));
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (!reader.canRead() || !size.isValid() || size.isEmpty())
        return std::string();
    // Decoders that can scale while reading (JPEG) never hold the full-size picture.
    if (size.width() > edge || size.height() > edge)
        reader.setScaledSize(size.scaled(edge, edge, Qt::KeepAspectRatio));
    const QImage thumbnail = reader.read();
    return thumbnail.isNull() ? std::string() : png(thumbnail);
}

std::string videoFramePng(const std::filesystem::path& movie, int edge) {
    std::string error;
    const auto input = MediaInput::open(movie, Container::Movie, error);
    if (!input)
        return std::string();
    AVFormatContext* raw = input->format();
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || !codec)
        return std::string();
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> decoder(
        avcodec_alloc_context3(codec),
        [](AVCodecContext* context) { avcodec_free_context(&context); });
    avcodec_parameters_to_context(decoder.get(), raw->streams[stream]->codecpar);
    decoder->thread_count = 1; // one picture: threads would only cost memory
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return std::string();
    const AVRational base = raw->streams[stream]->time_base;
    const int64_t second = av_rescale_q(1, AVRational{1, 1}, base);
    const bool longEnough = raw->duration == AV_NOPTS_VALUE || raw->duration > AV_TIME_BASE;
    if (longEnough)
        av_seek_frame(raw, stream, second, AVSEEK_FLAG_BACKWARD);

    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    QImage picture;
    // A bounded number of packets: a picture about a second in, or the first one there is.
    for (int read = 0; read < 240 && picture.isNull() && av_read_frame(raw, packet.get()) >= 0;
         ++read) {
        const bool ours = packet->stream_index == stream;
        if (ours && avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
            while (picture.isNull() && avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
                const bool due = !longEnough || frame->best_effort_timestamp == AV_NOPTS_VALUE ||
                                 frame->best_effort_timestamp >= second;
                if (due &&
                    (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P)) {
                    picture = QImage(frame->width, frame->height, QImage::Format_RGB32);
                    libyuv::I420ToARGB(frame->data[0], frame->linesize[0], frame->data[1],
                                       frame->linesize[1], frame->data[2], frame->linesize[2],
                                       picture.bits(), static_cast<int>(picture.bytesPerLine()),
                                       frame->width, frame->height);
                }
                av_frame_unref(frame.get());
            }
        }
        av_packet_unref(packet.get());
    }
    if (picture.isNull())
        return std::string();
    if (picture.width() > edge || picture.height() > edge)
        picture = picture.scaled(edge, edge, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return png(picture);
}

const std::string& placeholderPng() {
    static const std::string bytes = [] {
        QImage image(400, 300, QImage::Format_RGB32);
        image.fill(QColor(0x2c, 0x2c, 0x30));
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xff, 0xff, 0xff, 0xd0));
        QPainterPath play;
        play.moveTo(170, 110);
        play.lineTo(170, 190);
        play.lineTo(240, 150);
        play.closeSubpath();
        painter.drawPath(play);
        painter.end();
        return png(image);
    }();
    return bytes;
}

} // namespace slkserver
