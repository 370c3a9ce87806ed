// Recordings sent with "X-Convert: gif": turned into GIFs by the reference server, probed with
// ffprobe, and compared with a plain one-palette conversion made by the ffmpeg tool.
#include "GifConverter.h"
#include "MediaServerFixture.h"
#include "Movies.h"

#include <QFileInfo>
#include <QImage>

using namespace shotlark;
using namespace shotlark::test;

namespace {

QString download(const QByteArray& bytes, const QString& name) {
    const QString path = testHome() + QLatin1Char('/') + name;
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(bytes);
    return path;
}

// An upload by the curl tool, so that several run at once whatever the app's client queues.
std::unique_ptr<QProcess> curlUpload(const QString& url, const QString& token,
                                     const QString& file) {
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("curl"),
                   {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("-"),
                    QStringLiteral("-w"), QStringLiteral("\n%{http_code}"), QStringLiteral("-H"),
                    QStringLiteral("Authorization: Bearer ") + token, QStringLiteral("-H"),
                    QStringLiteral("X-Convert: gif"), QStringLiteral("-F"),
                    QStringLiteral("file=@") + file, url + QStringLiteral("/api/upload")});
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
    const QString movie =
        makeSegment(QStringLiteral("Recording.mp4"), 3, QStringLiteral("1280x720"));
    const auto outcome = await(Uploader::upload(movie, QStringLiteral("gif")));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
    const UploadResult gif = *outcome.value;
    EXPECT_EQ(gif.name, QStringLiteral("Recording.gif"));
    EXPECT_TRUE(gif.rawURL.endsWith(QStringLiteral("/Recording.gif")));

    const HttpResponse raw = request("GET", gif.rawURL);
    EXPECT_EQ(raw.header("Content-Type"), "image/gif");
    const QString ours = download(raw.body, QStringLiteral("ours.gif"));
    const Probed probed = probe(ours);
    EXPECT_EQ(probed.codec, QStringLiteral("gif"));
    EXPECT_EQ(probed.width, 960) << "at most 960 pixels wide";
    EXPECT_EQ(probed.height, 540) << "in proportion";
    EXPECT_NEAR(probed.frames, 45, 1) << "15 frames a second of 3 seconds";
    EXPECT_LE(probed.rate, 15.01);

    // One palette from every pixel and an error-diffusing dither: what a plain conversion does.
    const QString plain = testHome() + QStringLiteral("/plain.gif");
    QProcess::execute(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), movie,
                       QStringLiteral("-lavfi"),
                       QStringLiteral("fps=15,scale=960:-2:flags=lanczos,split[a][b];[a]palettegen["
                                      "p];[b][p]paletteuse"),
                       plain});
    ASSERT_GT(QFileInfo(plain).size(), 0);
    EXPECT_LT(QFileInfo(ours).size(), QFileInfo(plain).size() * 9 / 10);

    // Its page shows a picture; its thumbnail is one of its frames.
    const HttpResponse page = request("GET", path(gif.url));
    EXPECT_TRUE(page.body.contains("<img class=\"media\"")) << page.body.toStdString();
    const QImage thumbnail = QImage::fromData(request("GET", path(gif.thumbnailURL)).body, "PNG");
    EXPECT_EQ(thumbnail.size(), QSize(400, 225));

    // Only the GIF is kept.
    EXPECT_EQ(filesIn(QStringLiteral("files")).size(), 1);
    EXPECT_TRUE(filesIn(QStringLiteral("tmp")).isEmpty());
}

TEST_F(MediaServerTest, WhatCantBeConvertedIsRefusedAndLeavesNothing) {
    start({QStringLiteral("--gif-max-seconds"), QStringLiteral("2"),
           QStringLiteral("--gif-max-mib"), QStringLiteral("1")});
    auto refusal = [&](const QString& file, const QString& convert = QStringLiteral("gif")) {
        return await(Uploader::upload(file, convert)).message<UploaderError>();
    };
    const QString notVideo =
        QStringLiteral("The file is not a video that can be converted to a GIF");
    QImage picture(64, 64, QImage::Format_RGB32);
    picture.fill(Qt::red);
    const QString png = testHome() + QStringLiteral("/picture.png");
    picture.save(png);
    EXPECT_EQ(refusal(png), notVideo) << "pictures are not recordings";
    EXPECT_EQ(refusal(writeTestFile(QStringLiteral("fake.mp4"), QByteArray(4000, 'x'))), notVideo);
    EXPECT_EQ(refusal(writeTestFile(QStringLiteral("empty.mp4"), QByteArray())), notVideo);

    // A movie cut short: its index is at the end, so it opens as nothing.
    const QString whole = makeSegment(QStringLiteral("whole.mp4"), 1);
    QFile full(whole);
    full.open(QIODevice::ReadOnly);
    const QString cut = writeTestFile(QStringLiteral("cut.mp4"), full.read(full.size() / 2));
    EXPECT_FALSE(refusal(cut).isEmpty());

    EXPECT_EQ(refusal(makeSegment(QStringLiteral("long.mp4"), 4)),
              QStringLiteral("The recording is too long to convert to a GIF (at most 2 s); upload "
                             "it as a video instead"));
    const QString big = makeSegment(QStringLiteral("big.mp4"), 2, QStringLiteral("1280x720"),
                                    QStringLiteral("testsrc2"));
    ASSERT_GT(QFileInfo(big).size(), 1024 * 1024);
    EXPECT_TRUE(refusal(big).startsWith(
        QStringLiteral("The recording is too large to convert to a GIF (at most 1 MiB)")));
    EXPECT_EQ(refusal(whole, QStringLiteral("webp")),
              QStringLiteral("This server can't convert uploads to \"webp\""));

    start({QStringLiteral("--features"), QStringLiteral("app_ocr")});
    EXPECT_EQ(refusal(whole), QStringLiteral("GIF recording is switched off on this server"));

    EXPECT_TRUE(filesIn(QStringLiteral("files")).isEmpty());
    EXPECT_TRUE(filesIn(QStringLiteral("tmp")).isEmpty());
}

// The decoder runs ahead on its own thread; a conversion stopped by what it writes must end it.
TEST_F(MediaServerTest, GifGrowingPastItsLimitIsStoppedAndRemoved) {
    const QString movie = makeSegment(QStringLiteral("Recording.mp4"), 3, QStringLiteral("640x480"),
                                      QStringLiteral("testsrc2"));
    const std::filesystem::path gif = (testHome() + QStringLiteral("/out.gif")).toStdString();
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
    start({QStringLiteral("--gif-workers"), QStringLiteral("1")});
    const QString movie = makeSegment(QStringLiteral("Recording.mp4"), 10,
                                      QStringLiteral("1280x720"), QStringLiteral("testsrc2"));

    // One converts, one waits for it, and the third is told to come back.
    std::vector<std::unique_ptr<QProcess>> conversions;
    for (int i = 0; i < 3; ++i)
        conversions.push_back(curlUpload(url, token, movie));
    // Meanwhile uploads and pages are answered.
    const QString file = writeTestFile(QStringLiteral("note.txt"), "hello");
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(upload(file).id.isEmpty());
    EXPECT_EQ(request("GET", QStringLiteral("/api/features")).status, 200);
    int running = 0;
    for (const auto& conversion : conversions)
        running += conversion->state() != QProcess::NotRunning;
    EXPECT_GE(running, 2) << "answered while the conversions still ran";

    std::vector<int> statuses;
    for (const auto& conversion : conversions) {
        const auto [status, body] = answerOf(*conversion);
        statuses.push_back(status);
        if (status == 503) {
            EXPECT_TRUE(body.contains("busy converting")) << body.toStdString();
        }
    }
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<int>{200, 200, 503}));
    EXPECT_EQ(filesIn(QStringLiteral("files")).size(), 5);
    EXPECT_TRUE(filesIn(QStringLiteral("tmp")).isEmpty());
}
