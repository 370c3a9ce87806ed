#include "base/Modules.h"
#include "platform/RecordingBackends.h"

#include "platform/wayland/PortalScreenCast.h"
#include "platform/x11/ShmGrabber.h"
#include "platform/x11/X11FrameSource.h"

#include "base/Errors.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLibrary>

#include <unistd.h>

namespace shotlark::platform {

std::unique_ptr<FrameSource> LinuxRecordingBackends::frameSource() {
    return x11::makeFrameSource();
}

bool LinuxRecordingBackends::streamsOnly() const {
    return QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

namespace {

template <typename Maker> Maker entryPoint(const char* name) {
    QLibrary& module = shotlarkModule(QStringLiteral("recording"));
    const auto entry = reinterpret_cast<Maker>(module.resolve(name));
    if (!entry)
        throw Error(QStringLiteral("Couldn't start the video encoder: the recording module is "
                                   "missing (%1)")
                        .arg(module.errorString()));
    return entry;
}

template <typename Made> Made* fromModule(const char* name) {
    return entryPoint<Made* (*)()>(name)();
}

} // namespace

std::unique_ptr<AudioSource> LinuxRecordingBackends::audioSource() {
    return std::unique_ptr<AudioSource>(fromModule<AudioSource>("shotlark_new_audio_source"));
}

QString LinuxRecordingBackends::convertToGif(const QString& movie, const QString& gif) {
    using Convert = const char* (*)(const char*, const char*);
    const char* error = entryPoint<Convert>("shotlark_movie_to_gif")(
        QFile::encodeName(movie).constData(), QFile::encodeName(gif).constData());
    return error ? QString::fromUtf8(error) : QString();
}

QString LinuxRecordingBackends::joinMovies(const QStringList& segments, double seconds,
                                           const QString& output) {
    using Join = const char* (*)(const char* const*, int, double, const char*);
    QList<QByteArray> names;
    std::vector<const char*> pointers;
    for (const QString& segment : segments)
        names.append(QFile::encodeName(segment));
    for (const QByteArray& name : names)
        pointers.push_back(name.constData());
    const char* error = entryPoint<Join>("shotlark_join_movies")(
        pointers.data(), int(pointers.size()), seconds, QFile::encodeName(output).constData());
    return error ? QString::fromUtf8(error) : QString();
}

std::unique_ptr<MovieWriter> LinuxRecordingBackends::movieWriter() {
    return std::unique_ptr<MovieWriter>(fromModule<MovieWriter>("shotlark_new_movie_writer"));
}

QCoro::Task<ScreenCastChoice> LinuxRecordingBackends::screenCast(QString restoreToken) {
    auto opening =
        wayland::openScreenCast(std::move(restoreToken), [](int fd, quint32 node, QSize announced) {
            using Maker = FrameSource* (*)(int, quint32, int, int);
            std::unique_ptr<FrameSource> source;
            try {
                source.reset(entryPoint<Maker>("shotlark_new_pipewire_frame_source")(
                    fd, node, announced.width(), announced.height()));
            } catch (...) {
                ::close(fd);
                throw;
            }
            return source;
        });
    ScreenCastChoice choice = co_await std::move(opening);
    co_return choice;
}

QList<QImage> LinuxRecordingBackends::freezeScreens() {
    return x11::freezeScreens();
}

} // namespace shotlark::platform
