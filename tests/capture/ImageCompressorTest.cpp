#include "capture/ImageCompressor.h"
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/Prelude.h"

#include <QRandomGenerator>

namespace {
QString save(const QImage& image, const QString& name) {
    const QString path = test::testHome() + u'/' + name;
    EXPECT_TRUE(image.save(path, "PNG"));
    return path;
}

// Noise over a gradient: compresses like a photo, badly as PNG and well as JPEG.
QImage photoLike(int width, int height) {
    QImage image = test::knownImage(width, height);
    QRandomGenerator random(42);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QColor c = image.pixelColor(x, y);
            const int n = static_cast<int>(random.bounded(24));
            image.setPixelColor(
                x, y,
                QColor(qMin(255, c.red() + n), qMin(255, c.green() + n), qMin(255, c.blue() + n)));
        }
    }
    return image;
}
} // namespace

TEST(ImageCompressor, OpaquePhotoLikePngBecomesASmallerJpeg) {
    const QString png = save(photoLike(400, 300), u"Screenshot_2026-03-03_14-05-09.png"_s);
    const qint64 before = QFileInfo(png).size();
    const QString result = ImageCompressor::compress(png);
    EXPECT_EQ(result, test::testHome() + u"/Screenshot_2026-03-03_14-05-09.jpg"_s);
    EXPECT_FALSE(QFile::exists(png));
    EXPECT_LT(QFileInfo(result).size(), before);
    const QImage jpeg(result);
    EXPECT_EQ(jpeg.size(), QSize(400, 300));
}

TEST(ImageCompressor, AlphaFormatsFlatPicturesAndNonImagesStayAsTheyAre) {
    QImage alpha = photoLike(200, 150).convertToFormat(QImage::Format_ARGB32); // every pixel opaque
    const QString withAlpha = save(alpha, u"alpha.png"_s);
    EXPECT_EQ(ImageCompressor::compress(withAlpha), withAlpha);
    EXPECT_FALSE(QFile::exists(test::testHome() + u"/alpha.jpg"_s));
    EXPECT_NE(ImageCompressor::compress(withAlpha, 0.92, true), withAlpha) << "flattening allowed";

    QImage flat(300, 200, QImage::Format_RGB32);
    flat.fill(QColor(240, 240, 240));
    const QString flatPng = save(flat, u"flat.png"_s);
    EXPECT_EQ(ImageCompressor::compress(flatPng), flatPng) << "its JPEG is larger";
    EXPECT_TRUE(QFile::exists(flatPng));
    EXPECT_FALSE(QFile::exists(test::testHome() + u"/flat.jpg"_s));

    const QString text = test::writeTestFile(u"notes.png"_s, "not an image");
    EXPECT_EQ(ImageCompressor::compress(text), text);
    EXPECT_FALSE(QFile::exists(test::testHome() + u"/notes.jpg"_s));

    const QString jpeg = test::testHome() + u"/already.jpg"_s;
    ASSERT_TRUE(photoLike(64, 64).save(jpeg, "JPEG"));
    EXPECT_EQ(ImageCompressor::compress(jpeg), jpeg);
    EXPECT_TRUE(QFile::exists(jpeg)) << "never overwrites its only copy";
}
