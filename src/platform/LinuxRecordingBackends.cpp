#include "platform/RecordingBackends.h"

#include "platform/x11/ShmGrabber.h"
#include "platform/x11/X11FrameSource.h"

#include "base/Errors.h"

#include <QCoreApplication>
#include <QLibrary>

namespace shotlark::platform {

std::unique_ptr<FrameSource> LinuxRecordingBackends::frameSource() {
    return x11::makeFrameSource();
}

namespace {

// libshotlark-recording.so, loaded once on first use and never unloaded (objects made by it
// may live until the process ends): beside the program in a build, in lib/shotlark installed.
template <typename Made> Made* fromModule(const char* entry) {
    static QLibrary* module = [] {
        auto* library = new QLibrary; // kept for the whole run
        library->setLoadHints(QLibrary::PreventUnloadHint);
        const QString dir = QCoreApplication::applicationDirPath();
        for (const QString& candidate :
             {dir + QStringLiteral("/../lib/shotlark/libshotlark-recording.so"),
              dir + QStringLiteral("/libshotlark-recording.so")}) {
            library->setFileName(candidate);
            if (library->load())
                break;
        }
        return library;
    }();
    using Maker = Made* (*)();
    const auto make = reinterpret_cast<Maker>(module->resolve(entry));
    if (!make)
        throw Error(QStringLiteral("Couldn't start the video encoder: the recording module is "
                                   "missing (%1)")
                        .arg(module->errorString()));
    return make();
}

} // namespace

std::unique_ptr<AudioSource> LinuxRecordingBackends::audioSource() {
    return std::unique_ptr<AudioSource>(fromModule<AudioSource>("shotlark_new_audio_source"));
}

std::unique_ptr<MovieWriter> LinuxRecordingBackends::movieWriter() {
    return std::unique_ptr<MovieWriter>(fromModule<MovieWriter>("shotlark_new_movie_writer"));
}

QList<QImage> LinuxRecordingBackends::freezeScreens() {
    return x11::freezeScreens();
}

} // namespace shotlark::platform
