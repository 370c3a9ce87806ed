#pragma once

#include "support/Isolation.h"

#include <QImage>
#include <QProcess>

namespace shotlark::test {

// A movie's frame at `seconds`, decoded by ffmpeg.
inline QImage frameAt(const QString& movie, double seconds) {
    const QString png = testHome() + QStringLiteral("/frame.png");
    QProcess::execute(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                       QStringLiteral("-ss"), QString::number(seconds), QStringLiteral("-i"), movie,
                       QStringLiteral("-frames:v"), QStringLiteral("1"), png});
    return QImage(png);
}

} // namespace shotlark::test
