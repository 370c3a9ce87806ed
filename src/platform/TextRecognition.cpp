#include "platform/TextRecognition.h"

#include "base/Errors.h"
#include "base/Modules.h"

#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace shotlark::platform {

QStringList recognizeTextLines(const QImage& image) {
    QLibrary& module = shotlarkModule(QStringLiteral("ocr"));
    using Recognize = bool (*)(const QImage*, QStringList*, QString*);
    const auto recognize =
        reinterpret_cast<Recognize>(module.resolve("shotlark_recognize_text_lines"));
    if (!recognize)
        throw Error(QStringLiteral("Text recognition isn't installed (the OCR module is "
                                   "missing: %1)")
                        .arg(module.errorString()));
    QStringList lines;
    QString error;
    if (!recognize(&image, &lines, &error))
        throw Error(error);
    return lines;
}

void limitRecognizerThreads(char** argv) {
    // Without a limit Tesseract's OpenMP threads oversubscribe small machines 5-10 times over.
    if (qEnvironmentVariableIsSet("OMP_THREAD_LIMIT"))
        return;
    ::setenv("OMP_THREAD_LIMIT", "1", 1);
    // OpenMP reads it once, as its library loads: with the recogniser in its module that is
    // later, unless a library of the program brought OpenMP in already. Then start again.
    if (::dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD))
        ::execv("/proc/self/exe", argv); // returns only on failure: go on without the limit
}

} // namespace shotlark::platform
