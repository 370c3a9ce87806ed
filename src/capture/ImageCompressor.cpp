#include "capture/ImageCompressor.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

namespace shotlark {

QString ImageCompressor::compress(const QString& file, double quality, bool allowAlpha) {
    const QFileInfo input(file);
    const QString output =
        input.path() + QLatin1Char('/') + input.completeBaseName() + QStringLiteral(".jpg");
    if (output == file)
        return file; // already a JPEG: never overwrite the only copy

    QImageReader reader(file);
    reader.setAutoTransform(false);
    QImage image = reader.read();
    if (image.isNull())
        return file;
    // The pixel format decides, not the pixels: an RGBA screenshot stays a PNG.
    if (image.hasAlphaChannel() && !allowAlpha)
        return file;
    image = image.convertToFormat(QImage::Format_RGB32);
    if (!image.save(output, "JPEG", qBound(0, qRound(quality * 100), 100)))
        return file;

    const qint64 before = input.size();
    const qint64 after = QFileInfo(output).size();
    if (after <= 0 || after >= before) {
        QFile::remove(output);
        return file;
    }
    QFile::remove(file);
    return output;
}

} // namespace shotlark
