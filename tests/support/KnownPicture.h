#pragma once

// Also drawn by a test program of its own: no GoogleTest here.
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace shotlark::test {

// A picture whose every pixel the tests can predict: four coloured quadrants with a fine
// diagonal gradient, so crops and offsets show.
inline QColor knownPixel(int x, int y, int width, int height) {
    const int quadrant = (x >= width / 2 ? 1 : 0) + (y >= height / 2 ? 2 : 0);
    static const int bases[4][3] = {{200, 40, 40}, {40, 160, 60}, {40, 70, 200}, {220, 200, 40}};
    const int shade = (x + y) % 32;
    return QColor(qMin(255, bases[quadrant][0] + shade), bases[quadrant][1],
                  qMin(255, bases[quadrant][2] + shade / 2));
}

inline QImage knownImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixelColor(x, y, knownPixel(x, y, width, height));
    }
    return image;
}

// Black text on white: `lines` in DejaVu Sans at `pixelSize`, the first baseline at `origin`,
// one line every `spacing` pixels.
inline QImage textImage(QSize size, const QStringList& lines, int pixelSize, QPoint origin,
                        int spacing) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(u"DejaVu Sans"_s);
    font.setPixelSize(pixelSize);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (qsizetype i = 0; i < lines.size(); ++i)
        painter.drawText(origin + QPoint(0, static_cast<int>(i) * spacing), lines[i]);
    return image;
}

// A frameless, bypassing window that shows `image` at `geometry`.
class PictureWindow : public QWidget {
public:
    PictureWindow(const QImage& image, const QRect& geometry,
                  const QString& title = u"known-picture"_s)
        : image_(image) {
        setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setWindowTitle(title);
        setGeometry(geometry);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, image_); }

private:
    QImage image_;
};

} // namespace shotlark::test
