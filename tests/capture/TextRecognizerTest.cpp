#include "capture/TextRecognizer.h"
#include "server/Errors.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QPainter>

using namespace shotlark;

namespace {
QString render(const QStringList& lines, const QString& name, int pixelSize = 28) {
    QImage image(900, 60 + static_cast<int>(lines.size()) * pixelSize * 2, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (qsizetype i = 0; i < lines.size(); ++i)
        painter.drawText(30, 30 + pixelSize + static_cast<int>(i) * pixelSize * 2, lines[i]);
    painter.end();
    const QString path = test::testHome() + QLatin1Char('/') + name;
    image.save(path);
    return path;
}
} // namespace

TEST(TextRecognizer, ReadsRenderedLinesInOrder) {
    const QStringList lines = {QStringLiteral("The quick brown fox jumps"),
                               QStringLiteral("over the lazy dog 12345"),
                               QStringLiteral("Shotlark reads this line")};
    const auto outcome =
        test::await(TextRecognizer::recognize(render(lines, QStringLiteral("text.png"))));
    ASSERT_FALSE(outcome.error) << outcome.message().toStdString();
    EXPECT_EQ(*outcome.value, lines.join(QLatin1Char('\n')));
}

TEST(TextRecognizer, NoTextIsEmptyAndAMissingFileIsAnError) {
    const auto blank =
        test::await(TextRecognizer::recognize(render({}, QStringLiteral("blank.png"))));
    ASSERT_FALSE(blank.error);
    EXPECT_EQ(*blank.value, QString());

    const auto missing =
        test::await(TextRecognizer::recognize(test::testHome() + QStringLiteral("/gone.png")));
    EXPECT_EQ(missing.message<UploaderError>(), QStringLiteral("Couldn't read the capture"));
}

TEST(TextRecognizer, NotificationPreviewCutsAt120) {
    const QString exact(120, QLatin1Char('a'));
    EXPECT_EQ(TextRecognizer::preview(exact), exact);
    EXPECT_EQ(TextRecognizer::preview(exact + QLatin1Char('b')), exact + QChar(0x2026));
    EXPECT_EQ(TextRecognizer::preview(QString()), QString());
}
