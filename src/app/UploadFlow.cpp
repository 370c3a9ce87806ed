// The upload pipeline: batches of files with their progress, links, sounds and notifications;
// captures that could not be sent kept with the failed uploads; the clipboard and the file
// picker as sources.
#include "app/AppDelegate.h"

#include "app/Notifier.h"
#include "base/Errors.h"
#include "base/Worker.h"
#include "capture/ImageCompressor.h"
#include "server/ServerInfo.h"
#include "server/Uploader.h"
#include "settings/SettingsWindowController.h"
#include "store/AtomicFile.h"
#include "store/Config.h"
#include "store/History.h"
#include "store/Paths.h"
#include "update/Installation.h"

#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QPointer>
#include <QStandardPaths>

#include <cstdio>

namespace shotlark {

namespace {

constexpr int failedUploadsKept = 20;

// Local files named by a clipboard: text/uri-list, or GNOME's own list.
QStringList clipboardFiles(const QMimeData& data) {
    QList<QUrl> urls = data.urls();
    const QByteArray gnome = data.data(QStringLiteral("x-special/gnome-copied-files"));
    if (urls.isEmpty() && !gnome.isEmpty()) {
        const QList<QByteArray> lines = gnome.split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) // the first line says "copy" or "cut"
            urls.append(QUrl::fromEncoded(lines[i].trimmed()));
    }
    QStringList files;
    for (const QUrl& url : urls) {
        if (url.isLocalFile())
            files.append(url.toLocalFile());
    }
    return files;
}

QString clipboardName(const char* extension) {
    return QStringLiteral("clipboard_%1.%2")
        .arg(QDateTime::currentSecsSinceEpoch())
        .arg(QLatin1String(extension));
}

} // namespace

void AppDelegate::upload(const QStringList& files, bool deleteAfter,
                         const std::optional<QString>& convert, bool annotate) {
    if (!hasDestination()) {
        // A capture taken while the connection went away is kept like any failed upload.
        if (deleteAfter) {
            QString kept;
            for (const QString& file : files)
                kept = keepFailedUpload(file);
            if (!kept.isEmpty())
                notifier_->notify(QStringLiteral("Upload failed"),
                                  QFileInfo(files.constLast()).fileName() + QStringLiteral(": ") +
                                      Uploader::notConnected,
                                  QUrl::fromLocalFile(kept).toString(QUrl::FullyEncoded));
        }
        settings_->show();
        return;
    }
    if (files.isEmpty())
        return;
    runBatch(files, deleteAfter, convert, annotate);
}

QCoro::Task<> AppDelegate::runBatch(QStringList files, bool deleteAfter,
                                    std::optional<QString> convert, bool annotate) {
    QStringList links;
    QString lastError;
    QString keptFailure;
    QPointer<AppDelegate> self(this);
    for (const QString& file : files) {
        const QUuid key = QUuid::createUuid();
        ++activeUploads_;
        progress_.insert(key, 0.0);
        updateStatusTitle();
        auto onProgress = [self, key](double fraction) {
            if (self && self->progress_.contains(key)) {
                self->progress_[key] = fraction;
                self->updateStatusTitle();
            }
        };
        bool failed = false;
        try {
            auto uploading = sendFile(file, convert, onProgress);
            const UploadResult result = co_await std::move(uploading);
            History::add(result);
            links.append(Config::shared().boolValue(keys::copyDirectLink) ? result.rawURL
                                                                          : result.url);
            if (annotate) {
                if (const auto editor = ServerInfo::shared().editorURL(result.id))
                    openSignedIn(*editor);
            }
        } catch (const Error& error) {
            failed = true;
            lastError = QFileInfo(file).fileName() + QStringLiteral(": ") + error.message();
        }
        --activeUploads_;
        progress_.remove(key);
        updateStatusTitle();
        if (deleteAfter) {
            // A capture that didn't reach the server is kept where the user can find it.
            if (failed)
                keptFailure = keepFailedUpload(file);
            else
                paths::removeTemporary(file);
        }
    }

    const Config& config = Config::shared();
    if (!links.isEmpty()) {
        const QString text = links.join(QLatin1Char('\n'));
        if (config.boolValue(keys::openAfterUpload))
            openLink(links.first());
        playSound(platform::Sound::Success);
        // Never "copied" where the desktop kept the clipboard from us.
        const bool one = links.size() == 1;
        auto copying =
            copyAndTell(text,
                        one ? QStringLiteral("Uploaded, link copied")
                            : QStringLiteral("Uploaded %1 files, links copied").arg(links.size()),
                        one ? QStringLiteral("Uploaded, link ready")
                            : QStringLiteral("Uploaded %1 files, links ready").arg(links.size()),
                        text, links.first());
        co_await std::move(copying);
        if (!self)
            co_return;
    }
    if (!lastError.isEmpty()) {
        playSound(platform::Sound::Failure);
        notifier_->notify(
            QStringLiteral("Upload failed"), lastError,
            keptFailure.isEmpty()
                ? std::nullopt
                : std::optional(QUrl::fromLocalFile(keptFailure).toString(QUrl::FullyEncoded)));
    }
    Q_EMIT batchFinished();
}

QString AppDelegate::failedUploadsDir() {
    return paths::dataDir() + QStringLiteral("/Failed uploads");
}

QCoro::Task<> AppDelegate::sweepLeftovers() {
    // Listed now, before this launch starts captures or a replay buffer of its own: only what
    // an earlier run left is swept.
    const QFileInfoList leftovers =
        QDir(paths::privateTempDir())
            .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    auto sweep = [leftovers] {
        for (const QFileInfo& entry : leftovers) {
            const QString name = entry.fileName();
            const bool folder = entry.isDir() && !entry.isSymLink();
            if (folder && (name.startsWith(QStringLiteral("slk-update-")) ||
                           name.startsWith(QStringLiteral("slk-replay-")))) {
                // An update that stopped, or a replay buffer's segments: never the user's.
                QDir(entry.absoluteFilePath()).removeRecursively();
            } else if (folder) {
                // A capture directory: what the capture left is the user's. It is kept among
                // the failed uploads, or where it is when it can't be moved there.
                for (const QFileInfo& file :
                     QDir(entry.absoluteFilePath()).entryInfoList(QDir::Files | QDir::NoSymLinks))
                    keepFailedUpload(file.absoluteFilePath());
                QDir().rmdir(entry.absoluteFilePath()); // only when all of it was moved
            } else {
                QFile::remove(entry.absoluteFilePath()); // a request body and the like
            }
        }
        // An unpacked bundle cleans up after an update and, on its first start, registers
        // itself for shotlark:// links and "Open With".
        const installation::Where here = installation::current();
        if (here.kind == installation::Kind::Bundle) {
            installation::sweepAfterUpdate(here.root);
            if (!installation::desktopEntryPointsAt(here.root)) {
                const QString failure = installation::installDesktopEntry(here.root);
                if (!failure.isEmpty())
                    std::fprintf(stderr, "shotlark: %s\n", qPrintable(failure));
            }
        }
    };
    auto sweeping = onWorker(std::move(sweep));
    co_await std::move(sweeping);
}

QString AppDelegate::keepFailedUpload(const QString& file) {
    const QString dir = failedUploadsDir();
    const QFileInfo info(file);
    if (info.absolutePath() == QDir::cleanPath(dir))
        return info.exists() ? file : QString(); // a retry that failed again stays as it is
    if (!QFileInfo::exists(file) || !paths::ensurePrivateDir(paths::dataDir()) ||
        !QDir().mkpath(dir))
        return QString();
    QString target = dir + QLatin1Char('/') + info.fileName();
    for (int n = 2; QFileInfo::exists(target); ++n)
        target =
            dir +
            QStringLiteral("/%1 (%2).%3").arg(info.completeBaseName()).arg(n).arg(info.suffix());
    if (!QFile::rename(file, target))
        return QString();
    paths::removeTemporary(file); // the capture directory, now empty

    // Bounded: the oldest go once there are more than the limit.
    QFileInfoList kept = QDir(dir).entryInfoList(QDir::Files, QDir::Time);
    for (qsizetype i = failedUploadsKept; i < kept.size(); ++i)
        QFile::remove(kept[i].absoluteFilePath());
    return target;
}

QCoro::Task<> AppDelegate::uploadClipboard() {
    if (!hasDestination()) {
        settings_->show();
        co_return;
    }
    // Only reading the clipboard happens here; encoding and writing go to a worker.
    QPointer<AppDelegate> self(this);
    auto reading = services_.clipboard->contents();
    const std::unique_ptr<QMimeData> data = co_await std::move(reading);
    if (!self)
        co_return;
    if (!data) {
        services_.sounds->play(platform::Sound::Beep);
        co_return;
    }
    const QStringList files = clipboardFiles(*data);
    if (!files.isEmpty()) {
        upload(files, false);
        co_return;
    }
    const QImage image = data->hasImage() ? qvariant_cast<QImage>(data->imageData()) : QImage();
    uploadClipboardContents(image, data->text());
}

QCoro::Task<> AppDelegate::uploadClipboardContents(QImage image, QString text) {
    const bool compress = Config::shared().boolValue(keys::compressScreenshots);
    // An image first; when it can't be written, the text; when neither, a beep.
    auto writing = onWorker([image, text, compress]() -> std::pair<QString, bool> {
        if (!image.isNull()) {
            const QString dir = paths::newCaptureDir();
            const QString file = dir + QLatin1Char('/') + clipboardName("png");
            if (!dir.isEmpty() && image.save(file, "PNG"))
                return {compress ? ImageCompressor::compress(file) : file, true};
            paths::removeTemporary(file);
        }
        if (!text.isEmpty()) {
            const QString dir = paths::newCaptureDir();
            const QString file = dir + QLatin1Char('/') + clipboardName("txt");
            if (!dir.isEmpty() && writeFileAtomically(file, text.toUtf8(), 0600))
                return {file, true};
            paths::removeTemporary(file);
        }
        return {QString(), false};
    });
    const auto [file, written] = co_await std::move(writing);
    if (!written) {
        services_.sounds->play(platform::Sound::Beep);
        co_return;
    }
    upload({file}, true);
}

QCoro::Task<> AppDelegate::pickFiles() {
    QPointer<AppDelegate> self(this);
    // Where the user last picked from; at first, the pictures (never the app's working folder).
    QString startIn = Config::shared().stringValue(keys::lastUploadFolder).value_or(QString());
    if (startIn.isEmpty() || !QFileInfo(startIn).isDir())
        startIn = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!QFileInfo(startIn).isDir())
        startIn = QDir::homePath();
    auto choosing = services_.dialogs->chooseFiles(startIn);
    const QStringList files = co_await std::move(choosing);
    if (!self || files.isEmpty())
        co_return;
    Config::shared().setString(keys::lastUploadFolder, QFileInfo(files.front()).absolutePath());
    upload(files, false);
}

} // namespace shotlark
