// Screenshots and text recognition on a private 1920x1080 Xvfb showing a photo-like picture:
// a full-screen capture by shotlark-screencapture against `import -window root` and `scrot`
// in the same run, the compression of that capture, and OCR time and character error rate.
//   capture_bench [RUNS]    (default 5)
#include "capture/ImageCompressor.h"
#include "platform/TextRecognition.h"
#include "support/DisplaySession.h"
#include "support/KnownPicture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const QString tool = QStringLiteral(SHOTLARK_CAPTURE_TOOL);

QImage photoLike(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int n = static_cast<int>(random.bounded(30));
            image.setPixel(x, y,
                           qRgb((x / 8 + n) & 255, (y / 4 + n) & 255, ((x + y) / 16 + n) & 255));
        }
    }
    return image;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Median wall time of a command over `runs`, in milliseconds; -1 when it is not installed.
double timeCommand(const QString& program, const QStringList& args, int runs) {
    if (QStandardPaths::findExecutable(program).isEmpty() && !QFile::exists(program))
        return -1;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (QProcess::execute(program, args) != 0)
            return -1;
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    return median(times);
}

// Levenshtein distance over characters.
int editDistance(const QString& a, const QString& b) {
    std::vector<int> row(static_cast<size_t>(b.size()) + 1);
    for (size_t j = 0; j < row.size(); ++j)
        row[j] = static_cast<int>(j);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[static_cast<size_t>(j)];
            row[static_cast<size_t>(j)] = std::min({above + 1, row[static_cast<size_t>(j - 1)] + 1,
                                                    diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

void print(const char* what, double ms) {
    if (ms < 0)
        std::printf("  %-38s not installed\n", what);
    else
        std::printf("  %-38s %7.1f ms\n", what, ms);
}

} // namespace

int main(int argc, char** argv) {
    shotlark::platform::limitRecognizerThreads(argv);
    QTemporaryDir work;
    qputenv("HOME", work.path().toUtf8());
    shotlark::test::DisplaySession desktop;
    if (!desktop.start(1920, 1080)) {
        std::fprintf(stderr, "no private display\n");
        return 1;
    }
    QApplication app(argc, argv);
    const int runs = app.arguments().value(1, QStringLiteral("5")).toInt();
    shotlark::test::PictureWindow picture(photoLike(1920, 1080), QRect(0, 0, 1920, 1080));
    picture.show();
    if (!QTest::qWaitForWindowExposed(&picture))
        return 1;
    QTest::qWait(300);

    const QString shot = work.path() + QStringLiteral("/shot.png");
    std::printf("full-screen capture of 1920x1080 (photo-like), median of %d runs, process start "
                "included\n",
                runs);
    const double ours = timeCommand(
        tool, {QStringLiteral("-x"), QStringLiteral("-D"), QStringLiteral("1"), shot}, runs);
    print("shotlark-screencapture -x -D 1", ours);
    const double scrot =
        timeCommand(QStringLiteral("scrot"),
                    {QStringLiteral("-o"), work.path() + QStringLiteral("/scrot.png")}, runs);
    print("scrot", scrot);
    print("import -window root", timeCommand(QStringLiteral("import"),
                                             {QStringLiteral("-window"), QStringLiteral("root"),
                                              work.path() + QStringLiteral("/import.png")},
                                             runs));
    if (ours > 0 && scrot > 0)
        std::printf("  ours / scrot: %.2f\n", ours / scrot);

    std::vector<double> compression;
    qint64 pngSize = 0, outSize = 0;
    for (int i = 0; i < runs; ++i) {
        QProcess::execute(tool,
                          {QStringLiteral("-x"), QStringLiteral("-D"), QStringLiteral("1"), shot});
        pngSize = QFileInfo(shot).size();
        QElapsedTimer timer;
        timer.start();
        const QString result = shotlark::ImageCompressor::compress(shot);
        compression.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        outSize = QFileInfo(result).size();
        QFile::remove(result);
    }
    print("compression (PNG to JPEG 92)", median(compression));
    std::printf("  %-38s %lld KB -> %lld KB\n", "sizes", pngSize / 1024, outSize / 1024);
    if (ours > 0)
        print("action to file ready (capture+compress)", ours + median(compression));

    // OCR: a 900x140 region of clear 14 px text, and a rendered paragraph for the error rate.
    const QStringList paragraph = {
        QStringLiteral("Shotlark captures what is on the screen and publishes it to a"),
        QStringLiteral("media server that the user runs. Every upload puts a link on"),
        QStringLiteral("the clipboard, and text read from a region goes there too."),
        QStringLiteral("Quick brown foxes jump over 13 lazy dogs at 08:45 on 2026-12-07."),
    };
    const QImage region =
        shotlark::test::textImage(QSize(900, 140), paragraph, 14, QPoint(12, 28), 28);
    shotlark::platform::recognizeTextLines(region); // the engine's one-time start
    std::vector<double> ocr;
    QString read;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        read = shotlark::platform::recognizeTextLines(region).join(QLatin1Char('\n'));
        ocr.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    const QString expected = paragraph.join(QLatin1Char('\n'));
    print("OCR of a 900x140 region (14 px text)", median(ocr));
    std::printf("  %-38s %.2f %% (%d edits over %lld characters)\n", "character error rate",
                100.0 * editDistance(read, expected) / static_cast<double>(expected.size()),
                editDistance(read, expected), static_cast<long long>(expected.size()));
    return 0;
}
