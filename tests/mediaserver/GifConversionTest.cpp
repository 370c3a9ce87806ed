// Recordings sent with "X-Convert: gif": turned into GIFs by the reference server, probed with
// ffprobe, and compared with a plain one-palette conversion made by the ffmpeg tool.
#include "GifConverter.h"
#include "MediaServerFixture.h"
#include "Movies.h"
#include "support/Prelude.h"

#include <QImage>

namespace {

// An upload by the curl tool, so that several run at once whatever the app's client queues.
std::unique_ptr<QProcess> curlUpload(const QString& url, const QString& token,
                                     const QString& file) {
    auto process = std::make_unique<QProcess>();
    process->start(u"curl"_s, {u"-s"_s, u"-o"_s, u"-"_s, u"-w"_s, u"\n%{http_code}"_s, u"-H"_s,
                               u"Authorization: Bearer "_s + token, u"-H"_s, u"X-Convert: gif"_s,
                               u"-F"_s, u"file=@"_s + file, url + u"/api/upload"_s});
    return process;
}

// The status and the body of a finished curlUpload.
std::pair<int, QByteArray> answerOf(QProcess& process) {
    // It may have ended already, while an event loop of the test ran.
    if (process.state() != QProcess::NotRunning) {
        EXPECT_TRUE(process.waitForFinished(240000));
    }
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    const QByteArray out = process.readAllStandardOutput();
    const qsizetype split = out.lastIndexOf('\n');
    return {out.mid(split + 1).toInt(), out.left(split)};
}

} // namespace

TEST_F(MediaServerTest, RecordingBecomesASmallGifOfCappedSizeAndRate) {
    const QString movie = makeSegment(u"Recording.mp4"_s, 3, u"1280x720"_s);
    const auto outcome = await(Uploader::upload(movie, u"gif"_s));
    ASSERT_FALSE(outcome.error) << outcome.message();
    const UploadResult gif = *outcome.value;
    EXPECT_EQ(gif.name, u"Recording.gif"_s);
    EXPECT_TRUE(gif.rawURL.endsWith(u"/Recording.gif"_s));

    const HttpResponse raw = request("GET", gif.rawURL);
    EXPECT_EQ(raw.header("Content-Type"), "image/gif");
    const QString ours = writeTestFile(u"ours.gif"_s, raw.body);
    const Probed probed = probe(ours);
    EXPECT_EQ(probed.codec, u"gif"_s);
    EXPECT_EQ(probed.width, 960) << "at most 960 pixels wide";
    EXPECT_EQ(probed.height, 540) << "in proportion";
    EXPECT_NEAR(probed.frames, 45, 1) << "15 frames a second of 3 seconds";
    EXPECT_LE(probed.rate, 15.01);

    // One palette from every pixel and an error-diffusing dither: what a plain conversion does.
    const QString plain = testHome() + u"/plain.gif"_s;
    QProcess::execute(u"ffmpeg"_s,
                      {u"-v"_s, u"error"_s, u"-i"_s, movie, u"-lavfi"_s,
                       QStringLiteral("fps=15,scale=960:-2:flags=lanczos,split[a][b];[a]palettegen["
                                      "p];[b][p]paletteuse"),
                       plain});
    ASSERT_GT(QFileInfo(plain).size(), 0);
    EXPECT_LT(QFileInfo(ours).size(), QFileInfo(plain).size() * 9 / 10);

    // Its page shows a picture; its thumbnail is one of its frames.
    const HttpResponse page = request("GET", path(gif.url));
    EXPECT_TRUE(page.body.contains("<img class=\"media\"")) << page.body;
    const QImage thumbnail = QImage::fromData(request("GET", path(gif.thumbnailURL)).body, "PNG");
    EXPECT_EQ(thumbnail.size(), QSize(400, 225));

    // Only the GIF is kept.
    EXPECT_EQ(filesIn(u"files"_s).size(), 1);
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
}

TEST_F(MediaServerTest, WhatCantBeConvertedIsRefusedAndLeavesNothing) {
    start({u"--gif-max-seconds"_s, u"2"_s, u"--gif-max-mib"_s, u"1"_s});
    auto refusal = [&](const QString& file, const QString& convert = u"gif"_s) {
        return await(Uploader::upload(file, convert)).message<UploaderError>();
    };
    const QString notVideo = u"The file is not a video that can be converted to a GIF"_s;
    QImage picture(64, 64, QImage::Format_RGB32);
    picture.fill(Qt::red);
    const QString png = testHome() + u"/picture.png"_s;
    picture.save(png);
    EXPECT_EQ(refusal(png), notVideo) << "pictures are not recordings";
    EXPECT_EQ(refusal(writeTestFile(u"fake.mp4"_s, QByteArray(4000, 'x'))), notVideo);
    EXPECT_EQ(refusal(writeTestFile(u"empty.mp4"_s, QByteArray())), notVideo);

    // A movie cut short: its index is at the end, so it opens as nothing.
    const QString whole = makeSegment(u"whole.mp4"_s, 1);
    QFile full(whole);
    full.open(QIODevice::ReadOnly);
    const QString cut = writeTestFile(u"cut.mp4"_s, full.read(full.size() / 2));
    EXPECT_FALSE(refusal(cut).isEmpty());

    EXPECT_EQ(refusal(makeSegment(u"long.mp4"_s, 4)),
              QStringLiteral("The recording is too long to convert to a GIF (at most 2 s); upload "
                             "it as a video instead"));
    const QString big = makeSegment(u"big.mp4"_s, 2, u"1280x720"_s, u"testsrc2"_s);
    ASSERT_GT(QFileInfo(big).size(), 1024 * 1024);
    EXPECT_TRUE(refusal(big).startsWith(
        u"The recording is too large to convert to a GIF (at most 1 MiB)"_s));
    EXPECT_EQ(refusal(whole, u"webp"_s), u"This server can't convert uploads to \"webp\""_s);

    start({u"--features"_s, u"app_ocr"_s});
    EXPECT_EQ(refusal(whole), u"GIF recording is switched off on this server"_s);

    EXPECT_TRUE(filesIn(u"files"_s).isEmpty());
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
}

// The decoder runs ahead on its own thread; a conversion stopped by what it writes must end it.
TEST_F(MediaServerTest, GifGrowingPastItsLimitIsStoppedAndRemoved) {
    const QString movie = makeSegment(u"Recording.mp4"_s, 3, u"640x480"_s, u"testsrc2"_s);
    const std::filesystem::path gif = (testHome() + u"/out.gif"_s).toStdString();
    slkserver::GifLimits limits;
    limits.maxOutputBytes = 64 * 1024;
    const slkserver::GifFailure failure = slkserver::convertToGif(movie.toStdString(), gif, limits);
    EXPECT_EQ(failure.status, 413);
    EXPECT_FALSE(std::filesystem::exists(gif));

    limits.maxOutputBytes = slkserver::GifLimits().maxOutputBytes;
    EXPECT_FALSE(slkserver::convertToGif(movie.toStdString(), gif, limits));
    EXPECT_GT(std::filesystem::file_size(gif), 64u * 1024);
}

TEST_F(MediaServerTest, ConversionsAreBoundedAndDoNotHoldUpOtherRequests) {
    start({u"--gif-workers"_s, u"1"_s});
    const QString movie = makeSegment(u"Recording.mp4"_s, 10, u"1280x720"_s, u"testsrc2"_s);

    // One converts, one waits for it, and the third is told to come back.
    std::vector<std::unique_ptr<QProcess>> conversions;
    for (int i = 0; i < 3; ++i)
        conversions.push_back(curlUpload(url, token, movie));
    // Meanwhile uploads and pages are answered.
    const QString file = writeTestFile(u"note.txt"_s, "hello");
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(upload(file).id.isEmpty());
    EXPECT_EQ(request("GET", u"/api/features"_s).status, 200);
    int running = 0;
    for (const auto& conversion : conversions)
        running += conversion->state() != QProcess::NotRunning;
    EXPECT_GE(running, 2) << "answered while the conversions still ran";

    std::vector<int> statuses;
    for (const auto& conversion : conversions) {
        const auto [status, body] = answerOf(*conversion);
        statuses.push_back(status);
        if (status == 503) {
            EXPECT_TRUE(body.contains("busy converting")) << body;
        }
    }
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 503}));
    EXPECT_EQ(filesIn(u"files"_s).size(), 5);
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());
}
