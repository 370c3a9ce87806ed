// The web editor in a real browser (headless chromium): marks drawn with the mouse and the
// keyboard, saved as a new upload whose pixels are checked; and its refusals over plain HTTP.
#include "MediaServerFixture.h"
#include "support/HeadlessBrowser.h"
#include "support/Prelude.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

namespace {

const QRgb grey = qRgb(200, 200, 200);

// A grey picture, larger than the page so that it is shown scaled, with a fine checkerboard
// where the pixelate tool will go.
QImage picture() {
    QImage image(1600, 1000, QImage::Format_RGB32);
    image.fill(grey);
    for (int y = 700; y < 900; ++y)
        for (int x = 1200; x < 1400; ++x)
            image.setPixel(x, y, ((x / 2 + y / 2) % 2) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    return image;
}

bool isRed(QRgb pixel) {
    return qRed(pixel) > 180 && qGreen(pixel) < 110 && qBlue(pixel) < 110;
}

int redIn(const QImage& image, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += isRed(image.pixel(x, y));
    return count;
}

QString csrfOf(const QByteArray& page) {
    return QRegularExpression(u"data-csrf=\"([0-9a-f]+)\""_s)
        .match(QString::fromUtf8(page))
        .captured(1);
}

class EditorTest : public MediaServerTest {
protected:
    // Where in the page a pixel of the shown picture is.
    QPointF onCanvas(QPointF pixel) {
        const QJsonObject box =
            browser
                ->evaluate(QStringLiteral(
                    "(() => { const r = document.getElementById('canvas').getBoundingClientRect();"
                    " return {x: r.x, y: r.y, scale: r.width / 1600}; })()"))
                .toObject();
        const double scale = box.value(u"scale"_s).toDouble();
        return QPointF(box.value(u"x"_s).toDouble() + pixel.x() * scale,
                       box.value(u"y"_s).toDouble() + pixel.y() * scale);
    }

    QRgb canvasPixel(int x, int y) {
        const QJsonArray rgba =
            browser
                ->evaluate(QStringLiteral("Array.from(document.getElementById('canvas')"
                                          ".getContext('2d').getImageData(%1, %2, 1, 1).data)")
                               .arg(x)
                               .arg(y))
                .toArray();
        return qRgb(rgba.at(0).toInt(), rgba.at(1).toInt(), rgba.at(2).toInt());
    }

    void clickButton(const QString& selector) {
        const QPointF at = browser->centreOf(selector);
        ASSERT_FALSE(at.isNull()) << selector;
        browser->click(at);
    }

    std::unique_ptr<HeadlessBrowser> browser;
};

} // namespace

TEST_F(EditorTest, MarksDrawnInTheBrowserAreSavedAsANewPicture) {
    const QString file = testHome() + u"/Screenshot.png"_s;
    ASSERT_TRUE(picture().save(file));
    const UploadResult original = upload(file);
    ASSERT_FALSE(original.id.isEmpty());
    const QByteArray originalBytes = request("GET", path(original.rawURL)).body;

    QString why;
    browser = HeadlessBrowser::start(&why);
    ASSERT_TRUE(browser) << why;

    // The editor's address, not signed in: the server's own form, which returns to the editor.
    ASSERT_TRUE(browser->navigate(url + u"/dashboard/edit/?id="_s + original.id));
    browser->evaluate(QStringLiteral("window.__left = true;"
                                     "document.querySelector('input[name=token]').value = '%1';"
                                     "document.querySelector('form').submit()")
                          .arg(token));
    ASSERT_TRUE(
        browser->waitFor(u"!window.__left && document.getElementById('canvas')?.dataset.ready"_s))
        << "the picture is on the canvas";
    EXPECT_LT(
        browser
            ->evaluate(QStringLiteral("document.getElementById('canvas').getBoundingClientRect()"
                                      ".width"))
            .toDouble(),
        1600)
        << "shown scaled";

    // A rectangle (the first tool) dragged with the mouse.
    browser->drag(onCanvas({200, 200}), onCanvas({600, 500}));
    // Text, typed where the canvas was clicked.
    clickButton(u"[data-tool=text]"_s);
    browser->click(onCanvas({800, 300}));
    ASSERT_TRUE(browser->waitFor(u"document.activeElement?.className === 'text-mark'"_s));
    browser->type(u"Hello"_s);
    browser->press(u"Enter"_s);
    // The checkerboard pixelated.
    clickButton(u"[data-tool=pixelate]"_s);
    browser->drag(onCanvas({1200, 700}), onCanvas({1400, 900}));

    // A pen stroke, undone, redone and undone again.
    clickButton(u"[data-tool=pen]"_s);
    browser->drag(onCanvas({100, 800}), onCanvas({500, 800}));
    EXPECT_TRUE(isRed(canvasPixel(300, 800)));
    clickButton(u"#undo"_s);
    EXPECT_EQ(canvasPixel(300, 800), grey);
    clickButton(u"#redo"_s);
    EXPECT_TRUE(isRed(canvasPixel(300, 800)));
    clickButton(u"#undo"_s);

    if (const QByteArray shot = qgetenv("SHOTLARK_EDITOR_SCREENSHOT"); !shot.isEmpty())
        writeTestFile(QString::fromLocal8Bit(shot), browser->screenshotPng());

    clickButton(u"#save"_s);
    ASSERT_TRUE(browser->waitFor(u"document.getElementById('saved')"_s))
        << browser->evaluate(u"document.getElementById('status').textContent"_s)
               .toString()
               .toStdString();
    const QString page = browser->evaluate(u"document.getElementById('saved').href"_s).toString();
    ASSERT_TRUE(page.startsWith(url + u"/u/"_s)) << page;
    const QString id = page.section(u'/', -1);
    EXPECT_NE(id, original.id);

    const HttpResponse saved = request("GET", u"/r/"_s + id);
    EXPECT_EQ(saved.header("Content-Type"), "image/png");
    const QImage edited = QImage::fromData(saved.body, "PNG").convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(edited.size(), QSize(1600, 1000));
    EXPECT_GT(redIn(edited, QRect(195, 300, 10, 100)), 200) << "the rectangle's left side";
    EXPECT_GT(redIn(edited, QRect(300, 495, 100, 10)), 200) << "its bottom";
    EXPECT_EQ(edited.pixel(400, 350), grey) << "its inside";
    EXPECT_GT(redIn(edited, QRect(800, 300, 150, 40)), 50) << "the text";
    EXPECT_EQ(redIn(edited, QRect(800, 360, 150, 40)), 0) << "one line of it";
    EXPECT_EQ(edited.pixel(300, 800), grey) << "the pen stroke was undone";
    EXPECT_EQ(edited.pixel(50, 50), grey);
    // Blocks of one colour, halfway between black and white.
    const QRgb block = edited.pixel(1302, 802);
    EXPECT_EQ(edited.pixel(1303, 803), block);
    EXPECT_EQ(edited.pixel(1302, 803), block);
    EXPECT_NEAR(qGray(block), 128, 24);

    // The new upload is ada's and named after the original, which is unchanged.
    const QByteArray dashboard = request("GET", u"/dashboard/"_s, {{"Cookie", signIn(token)}}).body;
    EXPECT_TRUE(dashboard.contains(">Screenshot-edited.png</a>")) << dashboard;
    EXPECT_EQ(request("GET", path(original.rawURL)).body, originalBytes);

    // The dashboard's Delete asks first, in the page; only the confirmation deletes.
    ASSERT_TRUE(browser->navigate(url + u"/dashboard/"_s));
    EXPECT_TRUE(
        browser
            ->evaluate(u"!!document.querySelector(\"a[href='/dashboard/edit/?id=%1']\")"_s.arg(id))
            .toBool())
        << "Edit for the pictures";
    const QString row = u"input[name=id][value='%1']"_s.arg(id);
    clickButton(u"summary.danger"_s); // the newest upload's row comes first
    ASSERT_TRUE(
        browser->waitFor(u"document.querySelector(\"%1\").closest('details').open"_s.arg(row)));
    EXPECT_TRUE(
        browser->evaluate(u"document.querySelector(\"%1\").closest('form').textContent"_s.arg(row))
            .toString()
            .contains(u"Delete Screenshot-edited.png from the server?"_s));
    EXPECT_EQ(request("GET", u"/r/"_s + id).status, 200) << "asking deletes nothing";
    clickButton(u"details[open] summary"_s); // Cancel
    ASSERT_TRUE(browser->waitFor(u"!document.querySelector('details[open]')"_s));
    clickButton(u"summary.danger"_s);
    browser->evaluate(u"window.__left = true"_s);
    clickButton(u"details[open] button.danger"_s);
    ASSERT_TRUE(browser->waitFor(u"!window.__left && document.querySelector('h2')"_s));
    EXPECT_EQ(request("GET", u"/r/"_s + id).status, 404);
    EXPECT_EQ(request("GET", path(original.rawURL)).status, 200);
}

TEST_F(MediaServerTest, EditorRefusesWhatIsNotYoursOrNotAPicture) {
    const QString pictureFile = testHome() + u"/mine.png"_s;
    ASSERT_TRUE(picture().save(pictureFile));
    const UploadResult mine = upload(pictureFile);
    const UploadResult text = upload(writeTestFile(u"notes.txt"_s, "hello"));
    Config::shared().setToken(createUser(u"bob"_s));
    const UploadResult bobs = upload(pictureFile);
    Config::shared().setToken(token);

    const QByteArray cookie = signIn(token);
    auto edit = [&](const QString& id) {
        return request("GET", u"/dashboard/edit/?id="_s + id, {{"Cookie", cookie}});
    };
    const HttpResponse page = edit(mine.id);
    EXPECT_EQ(page.status, 200);
    const QString csrf = csrfOf(page.body);
    ASSERT_FALSE(csrf.isEmpty());
    EXPECT_EQ(edit(bobs.id).status, 404) << "someone else's picture";
    EXPECT_EQ(error(edit(text.id)), u"Only pictures (PNG, JPEG, WebP, GIF) can be edited"_s);
    EXPECT_TRUE(request("GET", u"/dashboard/edit/?id="_s + mine.id).body.contains("Sign in"));

    QBuffer png;
    png.open(QIODevice::WriteOnly);
    picture().save(&png, "PNG");
    auto save = [&](const QString& id, QList<std::pair<QByteArray, QByteArray>> headers,
                    const QByteArray& body) {
        return request("POST", u"/dashboard/edit/save?id="_s + id, std::move(headers), body);
    };
    const QByteArray origin = url.toUtf8();
    const QList<std::pair<QByteArray, QByteArray>> good = {{"Cookie", cookie},
                                                           {"Origin", origin},
                                                           {"X-CSRF-Token", csrf.toUtf8()},
                                                           {"Content-Type", "image/png"}};
    auto without = [&](const QByteArray& name) {
        auto headers = good;
        headers.removeIf([&](const auto& header) { return header.first == name; });
        return headers;
    };
    auto replaced = [&](const QByteArray& name, const QByteArray& value) {
        auto headers = without(name);
        headers.append({name, value});
        return headers;
    };
    EXPECT_EQ(save(mine.id, without("Cookie"), png.data()).status, 401);
    EXPECT_EQ(save(mine.id, without("X-CSRF-Token"), png.data()).status, 403);
    EXPECT_EQ(save(mine.id, replaced("X-CSRF-Token", "0123"), png.data()).status, 403);
    EXPECT_EQ(save(mine.id, replaced("Origin", "http://evil.example"), png.data()).status, 403);
    EXPECT_EQ(save(bobs.id, good, png.data()).status, 404);
    const HttpResponse notPng = save(mine.id, good, "GIF89a not really");
    EXPECT_EQ(notPng.status, 400);
    EXPECT_EQ(error(notPng), u"The edited picture is not a PNG"_s);
    EXPECT_EQ(save(mine.id, replaced("Content-Type", "text/plain"), png.data()).status, 400);
    EXPECT_EQ(filesIn(u"files"_s).size(), 3) << "nothing refused was stored";
    EXPECT_TRUE(filesIn(u"tmp"_s).isEmpty());

    const HttpResponse stored = save(mine.id, good, png.data());
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(QJsonDocument::fromJson(stored.body).object().value(u"name"_s), u"mine-edited.png"_s);

    // Switched off: no editor.
    start({u"--features"_s, u"app_gif"_s});
    const HttpResponse off =
        request("GET", u"/dashboard/edit/?id="_s + mine.id, {{"Cookie", signIn(token)}});
    EXPECT_EQ(off.status, 404);
    EXPECT_EQ(error(off), u"The editor is switched off on this server"_s);
}
