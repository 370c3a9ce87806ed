#include "capture/TextRecognizer.h"
#include "base/Errors.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QFont>
#include <QImage>
#include <QPainter>

using namespace shotlark;

namespace {
QString render(const QStringList& lines, const QString& name) {
    const QString path = test::testHome() + QLatin1Char('/') + name;
    test::textImage(QSize(900, 60 + static_cast<int>(lines.size()) * 56), lines, 28, QPoint(30, 58),
                    56)
        .save(path);
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
