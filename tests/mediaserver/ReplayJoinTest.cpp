// The reference server joining replay segments: real H.264 segments made with ffmpeg, sent as
// the app sends them, the joined clip probed with ffprobe.
#include "MediaServerFixture.h"
#include "Movies.h"
#include "support/Prelude.h"

#include <QImage>
#include <QSet>

TEST_F(MediaServerTest, ReplaySegmentsAreJoinedAndCut) {
    const QStringList segments = {makeSegment(u"a.mp4"_s, 4), makeSegment(u"b.mp4"_s, 4),
                                  makeSegment(u"c.mp4"_s, 4)};
    for (const QString& segment : segments)
        ASSERT_TRUE(QFile::exists(segment));

    // All of it when less than asked for was sent.
    auto outcome = await(Uploader::uploadReplay(segments, 30));
    ASSERT_FALSE(outcome.error) << outcome.message();
    const UploadResult whole = *outcome.value;
    EXPECT_TRUE(whole.name.endsWith(u".mp4"_s));
    const QString wholeFile = writeTestFile(u"whole.mp4"_s, request("GET", whole.rawURL).body);
    Probed probed = probe(wholeFile);
    EXPECT_NEAR(probed.duration, 12.0, 0.1);
    EXPECT_EQ(probed.frames, 360);
    EXPECT_TRUE(probed.firstIsKey);
    EXPECT_EQ(probed.width, 320);
    EXPECT_EQ(probed.height, 240);

    // The last five seconds, from the key frame before them: six seconds.
    outcome = await(Uploader::uploadReplay(segments, 5));
    ASSERT_FALSE(outcome.error) << outcome.message();
    const QString cutFile = writeTestFile(u"cut.mp4"_s, request("GET", outcome.value->rawURL).body);
    probed = probe(cutFile);
    EXPECT_NEAR(probed.duration, 6.0, 0.1);
    EXPECT_EQ(probed.frames, 180);
    EXPECT_TRUE(probed.firstIsKey);
}

TEST_F(MediaServerTest, ReplaysThatCantBeJoinedAreRefusedAndLeaveNothing) {
    const QString good = makeSegment(u"good.mp4"_s, 2);
    const QString other = makeSegment(u"other.mp4"_s, 2, u"640x480"_s);
    const QString damaged = writeTestFile(u"damaged.mp4"_s, QByteArray(50000, 'x'));
    const QStringList filesBefore = filesIn(u"files"_s);

    auto outcome = await(Uploader::uploadReplay({good, damaged}, 30));
    EXPECT_EQ(outcome.message<UploaderError>(), u"A segment is not a readable movie"_s);
    outcome = await(Uploader::uploadReplay({good, other}, 30));
    EXPECT_EQ(outcome.message<UploaderError>(),
              u"The segments disagree in picture size or encoding"_s);
    outcome = await(Uploader::uploadReplay({}, 30));
    EXPECT_FALSE(outcome.message<UploaderError>().isEmpty());

    EXPECT_EQ(filesIn(u"files"_s), filesBefore);
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
}

TEST_F(MediaServerTest, VideoThumbnailsAreAPictureFromTheMovie) {
    const QString movie = makeSegment(u"clip.mp4"_s, 3, u"640x360"_s);
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
    EXPECT_EQ(filesIn(u"thumbs"_s).size(), 1) << "cached";
    // Its page plays it, and links the file itself.
    const QByteArray page = request("GET", path(uploaded.url)).body;
    EXPECT_TRUE(page.contains("<video class=\"media\" controls")) << page;
    EXPECT_TRUE(page.contains("href=\"" + uploaded.rawURL.toUtf8() + "\">Direct link"));

    // Not a movie after all: the placeholder, nothing cached.
    const UploadResult fake = upload(writeTestFile(u"fake.mp4"_s, "not a movie"));
    const QImage placeholder =
        QImage::fromData(request("GET", path(fake.thumbnailURL)).body, "PNG");
    EXPECT_EQ(placeholder.size(), QSize(400, 300));
}
