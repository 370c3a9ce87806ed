#pragma once

// Driving the private X display like a person: XTest input through xdotool.
#include <QProcess>
#include <QStringList>
#include <QTest>

namespace shotlark::test {

inline void xdotool(const QStringList& args) {
    QProcess::execute(QStringLiteral("xdotool"), args);
}

// Press at `from`, move through the middle, release at `to`.
inline void drag(QPoint from, QPoint to) {
    const QPoint middle = (from + to) / 2;
    xdotool({QStringLiteral("mousemove"), QString::number(from.x()), QString::number(from.y()),
             QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
             QString::number(middle.x()), QString::number(middle.y()), QStringLiteral("mousemove"),
             QString::number(to.x()), QString::number(to.y()), QStringLiteral("mouseup"),
             QStringLiteral("1")});
}

// Waits until shotlark-screencapture's overlay is on screen and ready for the pointer.
inline bool waitForCaptureOverlay() {
    const bool shown = QTest::qWaitFor(
        [] {
            QProcess search;
            search.start(QStringLiteral("xdotool"),
                         {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                          QStringLiteral("--name"), QStringLiteral("shotlark-screencapture")});
            search.waitForFinished();
            return !search.readAllStandardOutput().trimmed().isEmpty();
        },
        10000);
    QTest::qWait(300); // mapped; its keyboard grab and first paint follow
    return shown;
}

} // namespace shotlark::test
