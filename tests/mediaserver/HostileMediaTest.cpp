// Uploads crafted to hurt the server's media work: files that name other files, sample tables
// that claim millions of samples, clips that change size or pack frames a microsecond apart.
#include "GifConverter.h"
#include "MediaInput.h"
#include "MediaServerFixture.h"
#include "Movies.h"
#include "WebHelpers.h"
#include "support/Prelude.h"

#include <QImage>
#include <QtEndian>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// A movie made by the ffmpeg tool from `arguments` (space-separated, no paths with spaces).
QString ffmpegMovie(const QString& name, const QString& arguments) {
    const QString path = testHome() + u'/' + name;
    QProcess::execute(u"ffmpeg"_s,
                      u"-v error -y "_s.append(arguments).split(u' ') + QStringList{path});
    return path;
}

// A movie whose sample tables claim `samples` samples of one byte each: libavformat would build
// an index of 24 bytes a sample from a file of a few kilobytes (4 GB for 85 million).
QString sampleBomb(const QString& name, quint32 samples) {
    QFile small(makeSegment(name + u".src.mp4"_s, 1, u"64x64"_s));
    small.open(QIODevice::ReadOnly);
    QByteArray bytes = small.readAll();
    const qsizetype stsz = bytes.indexOf("stsz");
    EXPECT_GT(stsz, 0);
    qToBigEndian<quint32>(1, bytes.data() + stsz + 8);
    qToBigEndian<quint32>(samples, bytes.data() + stsz + 12);
    // ...all in its first chunk, so that the index is filled, not only reserved.
    const qsizetype stsc = bytes.indexOf("stsc");
    EXPECT_GT(stsc, 0);
    qToBigEndian<quint32>(samples, bytes.data() + stsc + 16);
    return writeTestFile(name, bytes);
}

// Files that make a demuxer reach for another file: an HLS playlist and a concat list, both
// named like recordings, pointing at a movie the uploader should never see.
std::vector<std::pair<QString, QString>> referencingFiles() {
    const QString secret = ffmpegMovie(
        u"private.ts"_s, u"-f lavfi -i color=red:size=64x64:rate=10 -t 2 -c:v libx264"_s);
    return {
        {u"playlist"_s,
         writeTestFile(u"holiday.mp4"_s, "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:2,\nfile:" +
                                             secret.toUtf8() + "\n#EXT-X-ENDLIST\n")},
        {u"concat"_s, writeTestFile(u"concat.mp4"_s,
                                    "ffconcat version 1.0\nfile 'file:" + secret.toUtf8() + "'\n")},
    };
}

qint64 peakMemoryKiB(qint64 pid) {
    QFile status(u"/proc/%1/status"_s.arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

TEST_F(MediaServerTest, OnlyTheStoredMovieIsOpenedAndItsClaimsAreBounded) {
    std::string error;
    for (const auto& [what, file] : referencingFiles()) {
        for (const auto container : {slkserver::Container::Mp4, slkserver::Container::Movie}) {
            EXPECT_EQ(slkserver::MediaInput::open(file.toStdString(), container, error), nullptr)
                << what;
        }
    }

    const QString bomb = sampleBomb(u"bomb.mp4"_s, 85'000'000);
    EXPECT_EQ(slkserver::MediaInput::open(bomb.toStdString(), slkserver::Container::Mp4, error),
              nullptr);
    // The same behind a box the demuxer skips, so that the file no longer starts with "ftyp".
    QByteArray skipped = readTestFile(bomb);
    skipped.prepend(QByteArray("\0\0\0\x10skip", 8) + QByteArray(8, '\0'));
    EXPECT_EQ(slkserver::MediaInput::open(writeTestFile(u"skipped.mov"_s, skipped).toStdString(),
                                          slkserver::Container::Movie, error),
              nullptr);
    // Claims that stay within what the file holds are let through.
    const QString honest = makeSegment(u"honest.mp4"_s, 2);
    const auto input =
        slkserver::MediaInput::open(honest.toStdString(), slkserver::Container::Mp4, error);
    ASSERT_NE(input, nullptr) << error;
    EXPECT_EQ(input->format()->nb_streams, 1u);
    EXPECT_EQ(input->refusedOpens(), 0);
    EXPECT_EQ(slkserver::MediaInput::claimedSamples(honest.toStdString(), QFile(honest).size()),
              60);
}

TEST_F(MediaServerTest, HostileUploadsGetThePlaceholderCachedAndNeverReachOtherFiles) {
    for (const auto& [what, file] : referencingFiles()) {
        const UploadResult uploaded = upload(file);
        ASSERT_FALSE(uploaded.id.isEmpty());
        const HttpResponse thumbnail = request("GET", path(uploaded.thumbnailURL));
        EXPECT_EQ(thumbnail.status, 200);
        const QImage picture = QImage::fromData(thumbnail.body, "PNG");
        EXPECT_EQ(picture.size(), QSize(400, 300)) << what << ": the placeholder";
        EXPECT_NE(picture.pixelColor(10, 10), QColor(Qt::red)) << what;
        auto replay = await(Uploader::uploadReplay({file}, 30));
        EXPECT_EQ(replay.message<UploaderError>(), u"A segment is not a readable movie"_s);
    }

    // 85 million samples claimed by 3 kB: refused before an index is built, and the failure
    // is cached, so repeating the request costs nothing.
    const UploadResult bomb = upload(sampleBomb(u"bomb.mp4"_s, 85'000'000));
    ASSERT_FALSE(bomb.id.isEmpty());
    for (int i = 0; i < 3; ++i) {
        const HttpResponse thumbnail = request("GET", path(bomb.thumbnailURL));
        EXPECT_EQ(thumbnail.status, 200);
        EXPECT_EQ(QImage::fromData(thumbnail.body, "PNG").size(), QSize(400, 300));
    }
    EXPECT_EQ(filesIn(u"thumbs"_s).size(), 3) << "the placeholders are cached";
    EXPECT_LT(peakMemoryKiB(server->pid()), 400 * 1024) << "the server built the claimed index";
}

TEST_F(MediaServerTest, GifConversionBoundsFramesAndSizeAndTakesOneFrameClips) {
    const std::filesystem::path gif = (testHome() + u"/out.gif"_s).toStdString();
    const slkserver::GifLimits limits;
    struct Case {
        const char* what;
        QString movie;
        int status;
    };
    // A size change midway: two MPEG-TS parts (their H.264 headers in the stream) as one MP4.
    const QString little =
        ffmpegMovie(u"little.ts"_s,
                    u"-f lavfi -i testsrc=size=64x64:rate=30 -t 1 -c:v libx264 -pix_fmt yuv420p"_s);
    const QString large = ffmpegMovie(
        u"large.ts"_s,
        u"-f lavfi -i testsrc=size=1280x1280:rate=30 -t 0.2 -c:v libx264 -pix_fmt yuv420p"_s);
    const QString list = writeTestFile(u"parts.txt"_s, "file '" + little.toUtf8() + "'\nfile '" +
                                                           large.toUtf8() + "'\n");
    const std::vector<Case> cases = {
        {"20 s at 1000 frames a second",
         ffmpegMovie(u"fast.mp4"_s,
                     QStringLiteral("-f lavfi -i color=blue:size=16x16:rate=1000 -t 20 -c:v "
                                    "libx264 -preset ultrafast")),
         413},
        {"size change",
         ffmpegMovie(u"switch.mp4"_s, u"-f concat -safe 0 -i %1 -c copy"_s.arg(list)), 400},
        {"one frame",
         ffmpegMovie(
             u"one.mp4"_s,
             u"-f lavfi -i testsrc=size=320x240 -frames:v 1 -c:v libx264 -pix_fmt yuv420p"_s),
         0},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(QFile::exists(c.movie)) << c.what;
        const slkserver::GifFailure failure =
            slkserver::convertToGif(c.movie.toStdString(), gif, limits);
        EXPECT_EQ(failure.status, c.status) << c.what << ": " << failure.message;
        EXPECT_EQ(std::filesystem::exists(gif), c.status == 0) << c.what;
    }
    EXPECT_EQ(probe(QString::fromStdString(gif.string())).codec, u"gif"_s);
}

TEST(ReplayPartsTest, EachPartEndsWhereTheNextBegins) {
    int made = 0;
    const QString folder = testHome();
    slkserver::web::ReplayParts body(
        [&] { return (folder + u"/part-%1"_s.arg(made++)).toStdString(); }, 100);
    const std::vector<std::pair<std::string, std::string>> parts = {{"file", "first segment"},
                                                                    {"note", "not a segment"},
                                                                    {"file", "second"},
                                                                    {"seconds", "30"},
                                                                    {"other", "more"}};
    for (const auto& [name, bytes] : parts) {
        ASSERT_TRUE(body.begin(name));
        ASSERT_TRUE(body.data(bytes.data(), bytes.size()));
    }
    ASSERT_EQ(body.files.size(), 2u);
    EXPECT_EQ(readTestFile(folder + u"/part-0"_s), "first segment");
    EXPECT_EQ(readTestFile(folder + u"/part-1"_s), "second");
    EXPECT_EQ(body.seconds, "30");

    // More than the body may hold, or a seventeenth segment, stops it.
    EXPECT_TRUE(body.begin("file"));
    EXPECT_FALSE(body.data(std::string(90, 'x').data(), 90));
    EXPECT_TRUE(body.tooLarge);
    for (int i = 0; i < 13; ++i)
        EXPECT_TRUE(body.begin("file"));
    EXPECT_FALSE(body.begin("file"));
}
