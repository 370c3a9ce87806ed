#pragma once

// Other programs as a person or a script runs them: what they print, movies as ffprobe sees
// them, and the reference server with a user.
#include "store/Config.h"
#include "support/ChildProcess.h"
#include "support/Prelude.h"

namespace shotlark::test {

struct Ran {
    int exitCode = -1; // -1 also when it crashed or did not end in time
    QString out;
    QString err;
};

// `input` is the program's whole standard input.
inline Ran run(const QStringList& argv, int ms = 60000, const QString& directory = {},
               const QByteArray& input = {}) {
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(argv.front(), argv.mid(1));
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(ms) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

inline QString ffprobe(const QStringList& arguments) {
    return run(QStringList{u"ffprobe"_s, u"-v"_s, u"error"_s} + arguments).out.trimmed();
}

struct Probed {
    QString codec;
    QString profile;
    double duration = 0;
    double rate = 0; // frames a second, on average
    int frames = 0;
    bool firstIsKey = false;
    int width = 0;
    int height = 0;
    QJsonObject audio; // the first audio stream, as ffprobe describes it
};

// The first video stream and the container of a movie (a file or a link).
inline Probed probe(const QString& movie) {
    const QJsonObject root =
        QJsonDocument::fromJson(
            ffprobe({u"-count_frames"_s, u"-show_entries"_s,
                     u"format=duration:stream=codec_type,codec_name,profile,width,height,"
                     "nb_read_frames,avg_frame_rate,sample_rate,channels"_s,
                     u"-of"_s, u"json"_s, movie})
                .toUtf8())
            .object();
    Probed probed;
    probed.duration = root[u"format"_s][u"duration"_s].toString().toDouble();
    for (const QJsonValue& value : root[u"streams"_s].toArray()) {
        const QJsonObject stream = value.toObject();
        if (stream[u"codec_type"_s] == u"audio"_s && probed.audio.isEmpty())
            probed.audio = stream;
        if (stream[u"codec_type"_s] != u"video"_s || !probed.codec.isEmpty())
            continue;
        probed.codec = stream[u"codec_name"_s].toString();
        probed.profile = stream[u"profile"_s].toString();
        probed.width = stream[u"width"_s].toInt();
        probed.height = stream[u"height"_s].toInt();
        probed.frames = stream[u"nb_read_frames"_s].toString().toInt();
        const QStringList rate = stream[u"avg_frame_rate"_s].toString().split(u'/');
        if (rate.size() == 2 && rate[1].toDouble() > 0)
            probed.rate = rate[0].toDouble() / rate[1].toDouble();
    }
    probed.firstIsKey =
        ffprobe({u"-select_streams"_s, u"v"_s, u"-show_entries"_s, u"frame=key_frame"_s,
                 u"-read_intervals"_s, u"%+#1"_s, u"-of"_s, u"csv=p=0"_s, movie})
            .startsWith(u'1');
    return probed;
}

#ifdef SHOTLARK_SERVER_BINARY
// The reference server in `data` with a user "ada" whose token it gives.
struct ReferenceServer {
    std::unique_ptr<ChildProcess> process;
    QString url;
    QString token;

    // Makes it the app's server, as a one-click connection would.
    void connect() const {
        Config::shared().setString(keys::server, url);
        Config::shared().setToken(token);
    }

    static ReferenceServer start(const QString& data, const QStringList& extra = {}) {
        const QString binary = QStringLiteral(SHOTLARK_SERVER_BINARY);
        ReferenceServer server;
        server.token = run({binary, u"--data"_s, data, u"--create-user"_s, u"ada"_s}).out.trimmed();
        server.process =
            startAndReadLine(QStringList{binary, u"--data"_s, data, u"--listen"_s, u"127.0.0.1:0"_s,
                                         u"--ready-fd"_s, u"{fd}"_s} +
                                 extra,
                             &server.url);
        return server;
    }
};
#endif

} // namespace shotlark::test
