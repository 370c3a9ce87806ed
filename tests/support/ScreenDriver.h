#pragma once

// Driving the private X display like a person: XTest input through xdotool.
#include "support/Prelude.h"
#include <QSize>

namespace shotlark::test {

inline void xdotool(const QStringList& args) {
    QProcess::execute(u"xdotool"_s, args);
}

// Press at `from`, move through the middle, release at `to`.
inline void drag(QPoint from, QPoint to) {
    const QPoint middle = (from + to) / 2;
    xdotool({u"mousemove"_s, QString::number(from.x()), QString::number(from.y()), u"mousedown"_s,
             u"1"_s, u"mousemove"_s, QString::number(middle.x()), QString::number(middle.y()),
             u"mousemove"_s, QString::number(to.x()), QString::number(to.y()), u"mouseup"_s,
             u"1"_s});
}

// Splits the screen into two monitors side by side, "left" and "right", as two would be.
inline bool splitScreen(QSize size) {
    const int half = size.width() / 2;
    const auto monitor = [&](const QString& name, int x, const QString& output) {
        return QProcess::execute(u"xrandr"_s,
                                 {u"--setmonitor"_s, name,
                                  u"%1/100x%2/100+%3+0"_s.arg(half).arg(size.height()).arg(x),
                                  output}) == 0;
    };
    return monitor(u"left"_s, 0, u"screen"_s) && monitor(u"right"_s, half, u"none"_s);
}

// The right one of splitScreen() is unplugged.
inline bool unplugRightMonitor() {
    return QProcess::execute(u"xrandr"_s, {u"--delmonitor"_s, u"right"_s}) == 0;
}

// Waits until shotlark-screencapture's overlay is on screen and ready for the pointer.
inline bool waitForCaptureOverlay() {
    const bool shown = QTest::qWaitFor(
        [] {
            QProcess search;
            search.start(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--name"_s,
                                        u"shotlark-screencapture"_s});
            search.waitForFinished();
            return !search.readAllStandardOutput().trimmed().isEmpty();
        },
        10000);
    QTest::qWait(300); // mapped; its keyboard grab and first paint follow
    return shown;
}

} // namespace shotlark::test
