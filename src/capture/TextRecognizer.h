#pragma once

#include <QCoro/QCoroTask>
#include <QString>

namespace shotlark {

// Reads the text of a captured image: its lines in reading order joined by "\n".
class TextRecognizer {
public:
    // "" when there is no text. Throws `UploaderError` "Couldn't read the capture" when the
    // file is not an image. The recognition runs on a worker thread.
    static QCoro::Task<QString> recognize(QString file);

    // The notification body for recognised text: at most 120 characters, then "…".
    static QString preview(const QString& text);
};

} // namespace shotlark
