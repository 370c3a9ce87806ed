// The reference server joining replay segments: real H.264 segments made with ffmpeg, sent as
// the app sends them, the joined clip probed with ffprobe.
#include "MediaServerFixture.h"
#include "Movies.h"

#include <QDirIterator>
#include <QImage>
#include <QJsonArray>
#include <QSet>

using namespace shotlark;
using namespace shotlark::test;

TEST_F(MediaServerTest, ReplaySegmentsAreJoinedAndCut) {
    const QStringList segments = {makeSegment(QStringLiteral("a.mp4"), 4),
                                  makeSegment(QStringLiteral("b.mp4"), 4),
                                  makeSegment(QStringLiteral("c.mp4"), 4)};
    for (const QString& segment : segments)
        ASSERT_TRUE(QFile::exists(segment));

    // All of it when less than asked for was sent.
    auto outcome = await(Uploader::uploadReplay(segments, 30));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
    const UploadResult whole = *outcome.value;
    EXPECT_TRUE(whole.name.endsWith(QStringLiteral(".mp4")));
    const QString wholeFile = testHome() + QStringLiteral("/whole.mp4");
    {
        const HttpResponse raw = request("GET", whole.rawURL);
        QFile out(wholeFile);
        out.open(QIODevice::WriteOnly);
        out.write(raw.body);
    }
    Probed probed = probe(wholeFile);
    EXPECT_NEAR(probed.duration, 12.0, 0.1);
    EXPECT_EQ(probed.frames, 360);
    EXPECT_TRUE(probed.firstIsKey);
    EXPECT_EQ(probed.width, 320);
    EXPECT_EQ(probed.height, 240);

    // The last five seconds, from the key frame before them: six seconds.
    outcome = await(Uploader::uploadReplay(segments, 5));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
    const QString cutFile = testHome() + QStringLiteral("/cut.mp4");
    {
        const HttpResponse raw = request("GET", outcome.value->rawURL);
        QFile out(cutFile);
        out.open(QIODevice::WriteOnly);
        out.write(raw.body);
    }
    probed = probe(cutFile);
    EXPECT_NEAR(probed.duration, 6.0, 0.1);
    EXPECT_EQ(probed.frames, 180);
    EXPECT_TRUE(probed.firstIsKey);
}

TEST_F(MediaServerTest, ReplaysThatCantBeJoinedAreRefusedAndLeaveNothing) {
    const QString good = makeSegment(QStringLiteral("good.mp4"), 2);
    const QString other = makeSegment(QStringLiteral("other.mp4"), 2, QStringLiteral("640x480"));
    const QString damaged = writeTestFile(QStringLiteral("damaged.mp4"), QByteArray(50000, 'x'));
    const QStringList filesBefore = filesIn(QStringLiteral("files"));

    auto outcome = await(Uploader::uploadReplay({good, damaged}, 30));
    EXPECT_EQ(outcome.message<UploaderError>(),
              QStringLiteral("A segment is not a readable movie"));
    outcome = await(Uploader::uploadReplay({good, other}, 30));
    EXPECT_EQ(outcome.message<UploaderError>(),
              QStringLiteral("The segments disagree in picture size or encoding"));
    outcome = await(Uploader::uploadReplay({}, 30));
    EXPECT_FALSE(outcome.message<UploaderError>().isEmpty());

    EXPECT_EQ(filesIn(QStringLiteral("files")), filesBefore);
    EXPECT_TRUE(filesIn(QStringLiteral("tmp")).isEmpty());
}

TEST_F(MediaServerTest, VideoThumbnailsAreAPictureFromTheMovie) {
    const QString movie = makeSegment(QStringLiteral("clip.mp4"), 3, QStringLiteral("640x360"));
    const UploadResult uploaded = upload(movie);
    ASSERT_FALSE(uploaded.id.isEmpty());
    const HttpResponse thumbnail = request("GET", path(uploaded.thumbnailURL));
    EXPECT_EQ(thumbnail.status, 200);
    const QImage picture = QImage::fromData(thumbnail.body, "PNG");
    EXPECT_EQ(picture.size(), QSize(400, 225)) << "scaled like the images' thumbnails";
    // ffmpeg's test picture has colour bars: many colours, unlike the placeholder.
    QSet<QRgb> colours;
    for (int x = 0; x < picture.width(); x += 10)
        colours.insert(picture.pixel(x, 50) & 0xf0f0f0);
    EXPECT_GT(colours.size(), 5);
    EXPECT_EQ(filesIn(QStringLiteral("thumbs")).size(), 1) << "cached";
    // Its page plays it, and links the file itself.
    const QByteArray page = request("GET", path(uploaded.url)).body;
    EXPECT_TRUE(page.contains("<video class=\"media\" controls")) << page.toStdString();
    EXPECT_TRUE(page.contains("href=\"" + uploaded.rawURL.toUtf8() + "\">Direct link"));

    // Not a movie after all: the placeholder, nothing cached.
    const UploadResult fake = upload(writeTestFile(QStringLiteral("fake.mp4"), "not a movie"));
    const QImage placeholder =
        QImage::fromData(request("GET", path(fake.thumbnailURL)).body, "PNG");
    EXPECT_EQ(placeholder.size(), QSize(400, 300));
}
