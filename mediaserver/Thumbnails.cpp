#include "Thumbnails.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>

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
