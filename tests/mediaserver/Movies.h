#pragma once

// Movies for the server's media tests: made with ffmpeg, inspected with ffprobe.
#include "support/Isolation.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace shotlark::test {

// `seconds` of one of ffmpeg's test pictures as H.264 at 30 fps, a key frame every 2 s.
inline QString makeSegment(const QString& name, int seconds,
                           const QString& size = QStringLiteral("320x240"),
                           const QString& source = QStringLiteral("testsrc")) {
    const QString path = testHome() + QLatin1Char('/') + name;
    QProcess::execute(
        QStringLiteral("ffmpeg"),
        QStringLiteral("-v error -y -f lavfi -i %1=size=%2:rate=30 -t %3 -c:v libx264 -preset "
                       "veryfast -tune zerolatency -g 60 -pix_fmt yuv420p")
                .arg(source, size)
                .arg(seconds)
                .split(QLatin1Char(' ')) +
            QStringList{path});
    return path;
}

struct Probed {
    QString codec;
    double duration = 0;
    double rate = 0; // frames a second, on average
    int frames = 0;
    bool firstIsKey = false;
    int width = 0;
    int height = 0;
};

inline QByteArray ffprobe(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("ffprobe"),
                  QStringList{QStringLiteral("-v"), QStringLiteral("error")} + arguments);
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

inline Probed probe(const QString& movie) {
    Probed probed;
    const QJsonObject root =
        QJsonDocument::fromJson(
            ffprobe({QStringLiteral("-count_frames"), QStringLiteral("-show_entries"),
                     QStringLiteral("format=duration:stream=codec_name,width,height,nb_read_"
                                    "frames,avg_frame_rate"),
                     QStringLiteral("-of"), QStringLiteral("json"), movie}))
            .object();
    probed.duration = root.value(QStringLiteral("format"))
                          .toObject()
                          .value(QStringLiteral("duration"))
                          .toString()
                          .toDouble();
    const QJsonObject stream = root.value(QStringLiteral("streams")).toArray().first().toObject();
    probed.codec = stream.value(QStringLiteral("codec_name")).toString();
    probed.width = stream.value(QStringLiteral("width")).toInt();
    probed.height = stream.value(QStringLiteral("height")).toInt();
    probed.frames = stream.value(QStringLiteral("nb_read_frames")).toString().toInt();
    const QStringList rate = stream.value(QStringLiteral("avg_frame_rate")).toString().split('/');
    if (rate.size() == 2 && rate[1].toDouble() > 0)
        probed.rate = rate[0].toDouble() / rate[1].toDouble();
    probed.firstIsKey = ffprobe({QStringLiteral("-select_streams"), QStringLiteral("v"),
                                 QStringLiteral("-show_entries"), QStringLiteral("frame=key_frame"),
                                 QStringLiteral("-read_intervals"), QStringLiteral("%+#1"),
                                 QStringLiteral("-of"), QStringLiteral("csv=p=0"), movie})
                            .trimmed()
                            .startsWith("1");
    return probed;
}

} // namespace shotlark::test
