#pragma once

#include <QImage>
#include <QStringList>

namespace shotlark::platform {

// The text lines of an image, in the recogniser's reading order (Tesseract 5, LSTM engine,
// English plus the user's language when its data is installed). Blocking; safe from any
// thread (calls are serialised). Throws `Error` when the recogniser can't start.
QStringList recognizeTextLines(const QImage& image);

// The OpenMP thread limit Tesseract needs on small machines only takes effect when it is in the
// environment before OpenMP's library loads: call first thing in main(). Where the program
// already has OpenMP loaded, it re-executes the program once with the limit set.
void limitRecognizerThreads(char** argv);

// What the OCR module does for recognizeTextLines (defined there only).
QStringList tesseractTextLines(const QImage& image);

} // namespace shotlark::platform
