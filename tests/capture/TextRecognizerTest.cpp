#include "capture/TextRecognizer.h"
#include "base/Errors.h"
#include "support/Await.h"
#include "support/Isolation.h"
#include "support/KnownPicture.h"
#include "support/Prelude.h"

#include <QFont>
#include <QImage>
#include <QPainter>

namespace {
QString render(const QStringList& lines, const QString& name) {
    const QString path = test::testHome() + u'/' + name;
    test::textImage(QSize(900, 60 + static_cast<int>(lines.size()) * 56), lines, 28, QPoint(30, 58),
                    56)
        .save(path);
    return path;
}
} // namespace

TEST(TextRecognizer, NoTextIsEmptyAndAMissingFileIsAnError) {
    const auto blank = test::await(TextRecognizer::recognize(render({}, u"blank.png"_s)));
    ASSERT_FALSE(blank.error);
    EXPECT_EQ(*blank.value, QString());

    const auto missing = test::await(TextRecognizer::recognize(test::testHome() + u"/gone.png"_s));
    EXPECT_EQ(missing.message<UploaderError>(), u"Couldn't read the capture"_s);
}
