#include "capture/TextRecognizer.h"

#include "platform/TextRecognition.h"
#include "base/Errors.h"
#include "base/Worker.h"

#include <QImage>

namespace shotlark {

QCoro::Task<QString> TextRecognizer::recognize(QString file) {
    auto reading = onWorker([file]() -> QString {
        const QImage image(file);
        if (image.isNull())
            throw UploaderError(QStringLiteral("Couldn't read the capture"));
        return platform::recognizeTextLines(image).join(QLatin1Char('\n'));
    });
    QString text = co_await std::move(reading);
    co_return text;
}

QString TextRecognizer::preview(const QString& text) {
    return text.size() <= 120 ? text : text.left(120) + QChar(0x2026);
}

} // namespace shotlark
