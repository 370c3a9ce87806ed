#pragma once

// Movies for the server's media tests: made with ffmpeg, inspected with ffprobe.
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/Programs.h"

namespace shotlark::test {

// `seconds` of one of ffmpeg's test pictures as H.264 at 30 fps, a key frame every 2 s.
inline QString makeSegment(const QString& name, int seconds, const QString& size = u"320x240"_s,
                           const QString& source = u"testsrc"_s) {
    const QString path = testHome() + u'/' + name;
    QProcess::execute(
        u"ffmpeg"_s,
        QStringLiteral("-v error -y -f lavfi -i %1=size=%2:rate=30 -t %3 -c:v libx264 -preset "
                       "veryfast -tune zerolatency -g 60 -pix_fmt yuv420p")
                .arg(source, size)
                .arg(seconds)
                .split(u' ') +
            QStringList{path});
    return path;
}

} // namespace shotlark::test
