// The text recogniser, in libshotlark-ocr.so: Tesseract and Leptonica (with their image
// libraries) are loaded on the first recognition, not with the tray app.
#include "platform/TextRecognition.h"

#include "base/Errors.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>

#include <leptonica/allheaders.h>
#include <tesseract/baseapi.h>

#include <cstdlib>
#include <memory>

namespace shotlark::platform {

namespace {

QString tessdataDir() {
    const QByteArray prefix = qgetenv("TESSDATA_PREFIX");
    if (!prefix.isEmpty())
        return QFile::decodeName(prefix);
    for (const char* dir : {"/usr/share/tesseract-ocr/5/tessdata",
                            "/usr/share/tesseract-ocr/4.00/tessdata", "/usr/share/tessdata"}) {
        if (QFileInfo::exists(QLatin1String(dir) + QStringLiteral("/eng.traineddata")))
            return QLatin1String(dir);
    }
    return QString();
}

// "eng", plus the user's language when Tesseract has data for it ("eng+deu").
QByteArray languages(const QString& dataDir) {
    QByteArray list = "eng";
    const QString own =
        QLocale::languageToCode(QLocale::system().language(), QLocale::ISO639Part2T);
    if (!own.isEmpty() && own != QStringLiteral("eng") &&
        QFileInfo::exists(dataDir + QLatin1Char('/') + own + QStringLiteral(".traineddata")))
        list += "+" + own.toLatin1();
    return list;
}

QMutex engineMutex;
std::unique_ptr<tesseract::TessBaseAPI> engine; // initialised once: that costs ~100 ms

tesseract::TessBaseAPI& readyEngine() {
    if (engine)
        return *engine;
    const QString dataDir = tessdataDir();
    auto api = std::make_unique<tesseract::TessBaseAPI>();
    const QByteArray path = QFile::encodeName(dataDir);
    if (dataDir.isEmpty() ||
        api->Init(path.constData(), languages(dataDir).constData(), tesseract::OEM_LSTM_ONLY) != 0)
        throw Error(QStringLiteral(
            "Text recognition isn't installed (Tesseract's English data is missing)."));
    api->SetPageSegMode(tesseract::PSM_AUTO);
    engine = std::move(api);
    // Tesseract's dictionary cache came into being in Init, after `engine`: at exit it would go
    // first and report every dictionary the engine still holds as a leak. Registered now, this
    // ends the engine before it.
    std::atexit([] {
        QMutexLocker lock(&engineMutex);
        engine.reset();
    });
    return *engine;
}

} // namespace

QStringList tesseractTextLines(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_RGB888);
    QMutexLocker lock(&engineMutex);
    tesseract::TessBaseAPI& api = readyEngine();
    api.SetImage(image.constBits(), image.width(), image.height(), 3,
                 static_cast<int>(image.bytesPerLine()));
    if (api.Recognize(nullptr) != 0) {
        api.Clear();
        throw Error(QStringLiteral("The text recogniser failed on this image."));
    }
    QStringList lines;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    if (it) {
        do {
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            if (!text)
                continue;
            const QString line = QString::fromUtf8(text.get()).trimmed();
            if (!line.isEmpty())
                lines.append(line);
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api.Clear();
    return lines;
}

} // namespace shotlark::platform

extern "C" {

// The lines of `image` into `lines`; false with `error` set when the recogniser failed.
Q_DECL_EXPORT bool shotlark_recognize_text_lines(const QImage* image, QStringList* lines,
                                                 QString* error) {
    try {
        *lines = shotlark::platform::tesseractTextLines(*image);
        return true;
    } catch (const shotlark::Error& failure) {
        *error = failure.message();
        return false;
    }
}

} // extern "C"
