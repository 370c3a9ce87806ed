// The markup editor on a private Xvfb, at 1920x1080 and at 3840x2160: the time from the
// release of the selection to the editor on screen, and the time for one pen segment and one
// step of a rectangle drag to reach the screen (event handled and the changed part painted).
//   editor_bench            (both sizes, each in a process of its own)
#include "../tools/screencapture/Editor.h"
#include "../tools/screencapture/PngWriter.h"
#include "support/DisplaySession.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QImage photoLike(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int n = static_cast<int>(random.bounded(30));
            line[x] = qRgb((x / 8 + n) & 255, (y / 4 + n) & 255, ((x + y) / 16 + n) & 255);
        }
    }
    return image;
}

struct Figures {
    double median = 0, worst = 0;
    int paints =
        0; // paint events seen while dragging: one per step when each step reached the screen
};

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

Figures summary(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 95 / 100]};
}

// Moves the pointer in small steps with the button held, timing each step to the screen.
Figures drag(QWidget& editor, QPoint from, int steps) {
    QTest::mousePress(&editor, Qt::LeftButton, Qt::NoModifier, from);
    QCoreApplication::processEvents();
    PaintCounter counter;
    editor.installEventFilter(&counter);
    std::vector<double> times;
    QElapsedTimer clock;
    for (int i = 1; i <= steps; ++i) {
        clock.start();
        QMouseEvent move(QEvent::MouseMove, QPointF(from + QPoint(i * 3, i * 2)),
                         editor.mapToGlobal(QPointF(from + QPoint(i * 3, i * 2))), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&editor, &move);
        QCoreApplication::processEvents(); // paints what changed and hands it to the X server
        QCoreApplication::sendPostedEvents();
        times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    editor.removeEventFilter(&counter);
    QTest::mouseRelease(&editor, Qt::LeftButton, Qt::NoModifier,
                        from + QPoint(steps * 3, steps * 2));
    QCoreApplication::processEvents();
    Figures figures = summary(times);
    figures.paints = counter.paints;
    return figures;
}

int measure(int argc, char** argv, int width, int height) {
    shotlark::test::DisplaySession desktop;
    if (!desktop.start(width, height)) {
        std::fprintf(stderr, "no private display\n");
        return 1;
    }
    QApplication app(argc, argv);
    const QImage frozen = photoLike(width, height);
    const QRect area(width / 5, height / 5, width * 3 / 5, height * 3 / 5);
    std::vector<double> ready;
    Figures pen, box;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        shotlark::tool::Editor editor(frozen, QGuiApplication::primaryScreen(), area);
        editor.start();
        if (!QTest::qWaitForWindowExposed(&editor))
            return 1;
        QCoreApplication::processEvents();
        ready.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        if (run == 4) {
            const QPoint inside = area.topLeft() + QPoint(20, 20);
            QTest::keyClick(&editor, Qt::Key_P);
            pen = drag(editor, inside, 150);
            QTest::keyClick(&editor, Qt::Key_R);
            box = drag(editor, inside, 150);
        }
    }
    const Figures shown = summary(ready);
    if (width == 1920) {
        // The ending writes the picture the editor shows (its marks drawn in as they were made),
        // as an unmarked capture is written; drawing the marks again, as each new mark does,
        // is timed on its own.
        using namespace shotlark::overlay;
        QList<Mark> marks;
        for (const MarkTool tool : {MarkTool::arrow, MarkTool::line, MarkTool::rectangle,
                                    MarkTool::ellipse, MarkTool::pen, MarkTool::highlighter,
                                    MarkTool::counter, MarkTool::pixelate, MarkTool::redact}) {
            Mark mark;
            mark.tool = tool;
            mark.number = 1;
            for (int i = 0; i < 40; ++i)
                mark.points.append(
                    QPointF(100 + static_cast<int>(tool) * 180 + i * 4, 200 + i * 6));
            marks.append(mark);
        }
        QTemporaryDir dir;
        const QString file = dir.path() + QStringLiteral("/shot.png");
        std::vector<double> plain, marked, drawing;
        for (int run = 0; run < 5; ++run) {
            QElapsedTimer clock;
            clock.start();
            shotlark::tool::writeOpaquePng(frozen, file);
            plain.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
            clock.start();
            const QImage shown = renderMarks(frozen, marks);
            drawing.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
            clock.start();
            shotlark::tool::writeOpaquePng(shown, file);
            marked.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
        std::printf("1920x1080 ending to file: %.1f ms with 9 marks, %.1f ms unmarked (median of "
                    "5); drawing the 9 marks anew (on each new mark): %.1f ms\n",
                    summary(marked).median, summary(plain).median, summary(drawing).median);
    }
    std::printf("%dx%d: editor ready %.1f ms (median of 5, worst %.1f); pen segment %.2f ms "
                "(median; p95 %.2f; %d paints for 150 steps); rectangle step %.2f ms (median; "
                "p95 %.2f; %d paints)\n",
                width, height, shown.median, shown.worst, pen.median, pen.worst, pen.paints,
                box.median, box.worst, box.paints);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3)
        return measure(argc, argv, QString::fromLatin1(argv[1]).toInt(),
                       QString::fromLatin1(argv[2]).toInt());
    int failed = 0;
    for (const auto& [width, height] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        QProcess one;
        one.setProcessChannelMode(QProcess::ForwardedChannels);
        one.start(QString::fromLocal8Bit(argv[0]),
                  {QString::number(width), QString::number(height)});
        one.waitForFinished(-1);
        failed |= one.exitCode();
    }
    return failed;
}
