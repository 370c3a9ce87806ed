// Upload servers besides the Shotlark server, imported from custom-uploader files.
#include "app/AppDelegate.h"
#include "app/Notifier.h"
#include "base/Errors.h"
#include "base/Worker.h"
#include "platform/Recording.h"
#include "server/CustomUploader.h"
#include "store/Config.h"
#include "store/Destinations.h"
#include "store/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QScopeGuard>

namespace shotlark {

namespace {

constexpr qint64 largestUploaderFile = 256 * 1024;

// A value that may be a secret, as the confirmation shows it: its first characters only.
QString masked(const QString& value) {
    return value.size() <= 4 ? QStringLiteral("\u2022\u2022\u2022\u2022")
                             : value.left(4) + QStringLiteral("\u2022\u2022\u2022\u2022");
}

QString summary(const CustomUploader& uploader) {
    QStringList lines;
    lines << QStringLiteral("Server: %1").arg(QUrl(uploader.requestURL).host())
          << QStringLiteral("Request: %1 %2")
                 .arg(QString::fromLatin1(uploader.method), uploader.requestURL)
          << QStringLiteral("Body: %1").arg(uploader.describeBody());
    for (const auto& [name, value] : uploader.headers)
        lines << QStringLiteral("Header %1: %2").arg(name, masked(value));
    for (const auto& [name, value] : uploader.arguments)
        lines << QStringLiteral("Field %1: %2").arg(name, masked(value));
    lines << QStringLiteral("Link from the answer: %1")
                 .arg(uploader.url.isEmpty() ? QStringLiteral("all of it") : uploader.url);
    return lines.join(u'\n');
}

} // namespace

bool AppDelegate::hasDestination() {
    return Config::shared().isConfigured() || destinations::active().has_value();
}

QCoro::Task<> AppDelegate::importUploader(QString file) {
    QPointer<AppDelegate> self(this);
    auto reading = onWorker([file]() -> std::pair<QByteArray, QString> {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            return {{}, QStringLiteral("%1: %2").arg(QFileInfo(file).fileName(), in.errorString())};
        if (in.size() > largestUploaderFile)
            return {{},
                    QStringLiteral("%1 is larger than a custom uploader file can be")
                        .arg(QFileInfo(file).fileName())};
        return {in.readAll(), QString()};
    });
    const auto [text, unreadable] = co_await std::move(reading);
    if (!self)
        co_return;
    CustomUploader uploader;
    try {
        if (!unreadable.isEmpty())
            throw FileError(unreadable);
        uploader = CustomUploader::parse(text);
    } catch (const Error& error) {
        showWarning(QStringLiteral("Couldn't add the upload server"), error.message());
        co_return;
    }
    auto asking = services_.dialogs->alert(
        {platform::Alert::Style::Informational,
         QStringLiteral("Upload to \u201c%1\u201d?").arg(uploader.displayName()),
         summary(uploader) +
             QStringLiteral("\n\nScreenshots and files you upload will go there instead of the "
                            "Shotlark server. You can switch back in the menu, under Upload To."),
         {QStringLiteral("Add and Use"), QStringLiteral("Cancel")}});
    const int answer = co_await std::move(asking);
    if (answer != 0 || !self)
        co_return;
    const auto id = destinations::add(uploader.toJson());
    if (!id) {
        showWarning(QStringLiteral("Couldn't add the upload server"),
                    QStringLiteral("Its settings could not be saved."));
        co_return;
    }
    destinations::setActive(*id);
    notifier_->notify(QStringLiteral("Uploads go to %1").arg(uploader.displayName()),
                      QStringLiteral("Switch back under Upload To in the menu."));
}

QCoro::Task<UploadResult> AppDelegate::sendFile(QString file, std::optional<QString> convert,
                                                Uploader::Progress progress) {
    const std::optional<CustomUploader> chosen = CustomUploader::chosen();
    if (!chosen) {
        auto uploading = Uploader::upload(file, std::move(convert), std::move(progress));
        co_return co_await std::move(uploading);
    }
    // The GIF the Shotlark server would make, made here; it goes once it is sent.
    QString made;
    const auto removeMade = qScopeGuard([&made] {
        if (!made.isEmpty())
            QFile::remove(made);
    });
    if (convert) {
        const std::shared_ptr<platform::RecordingBackends> recording = services_.recording;
        if (!recording)
            throw UploaderError(QStringLiteral("GIFs can't be made without the recorder"));
        const QFileInfo movie(file);
        const QString gif = movie.path() + u'/' + movie.completeBaseName() + QStringLiteral(".gif");
        auto converting =
            onWorker([recording, file, gif] { return recording->convertToGif(file, gif); });
        const QString failure = co_await std::move(converting);
        if (!failure.isEmpty())
            throw UploaderError(QStringLiteral("Couldn't make the GIF: ") + failure);
        made = gif;
        file = gif;
    }
    if (chosen->takesText()) {
        if (!file.endsWith(QStringLiteral(".txt"), Qt::CaseInsensitive))
            throw UploaderError(QStringLiteral("%1 takes text only").arg(chosen->displayName()));
        auto reading = onWorker([file] {
            QFile in(file);
            return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.read(16 * 1024 * 1024))
                                                : QString();
        });
        const QString text = co_await std::move(reading);
        auto sending = chosen->uploadText(text);
        co_return co_await std::move(sending);
    }
    auto sending = chosen->upload(file, std::move(progress));
    co_return co_await std::move(sending);
}

QCoro::Task<UploadResult> AppDelegate::sendReplay(QStringList segments, int seconds) {
    if (!destinations::active()) {
        auto uploading = Uploader::uploadReplay(segments, seconds);
        co_return co_await std::move(uploading);
    }
    const std::shared_ptr<platform::RecordingBackends> recording = services_.recording;
    const QString dir = paths::newCaptureDir();
    if (!recording || dir.isEmpty())
        throw UploaderError(QStringLiteral("The replay couldn't be put together here"));
    const QString joined = dir + QStringLiteral("/replay.mp4");
    const auto removeJoined = qScopeGuard([joined] { paths::removeTemporary(joined); });
    auto joining = onWorker([recording, segments, seconds, joined] {
        return recording->joinMovies(segments, seconds, joined);
    });
    const QString failure = co_await std::move(joining);
    if (!failure.isEmpty())
        throw UploaderError(QStringLiteral("Couldn't join the replay: ") + failure);
    auto sending = sendFile(joined, std::nullopt, {});
    co_return co_await std::move(sending);
}

} // namespace shotlark
