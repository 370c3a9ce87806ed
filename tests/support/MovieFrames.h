#pragma once

#include "support/Isolation.h"
#include "support/Prelude.h"

#include <QImage>

namespace shotlark::test {

// A movie's frame at `seconds`, decoded by ffmpeg.
inline QImage frameAt(const QString& movie, double seconds) {
    const QString png = testHome() + u"/frame.png"_s;
    QProcess::execute(u"ffmpeg"_s,
                      {u"-v"_s, u"error"_s, u"-y"_s, u"-ss"_s, QString::number(seconds), u"-i"_s,
                       movie, u"-frames:v"_s, u"1"_s, png});
    return QImage(png);
}

} // namespace shotlark::test
