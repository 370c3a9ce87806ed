// Screenshots from the menu and hotkeys: uploaded, read as text, or kept on this computer as a
// picture (the clipboard, a file).
#include "app/AppDelegate.h"
#include "app/Notifier.h"
#include "base/Errors.h"
#include "base/Worker.h"
#include "capture/ImageCompressor.h"
#include "capture/TextRecognizer.h"
#include "overlay/Markup.h"
#include "server/ServerInfo.h"
#include "settings/SettingsWindowController.h"
#include "store/AtomicFile.h"
#include "store/Config.h"
#include "store/Paths.h"

#include <QBuffer>
#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>

namespace shotlark {

namespace {

// A hand-edited setting can't make a capture wait for minutes.
constexpr int longestDelay = 60;

} // namespace

QCoro::Task<bool> AppDelegate::countDown(int seconds) {
    QPointer<AppDelegate> self(this);
    for (int left = std::clamp(seconds, 0, longestDelay); left > 0; --left) {
        captureCountdown_ = left;
        updateStatusTitle();
        auto second = QCoro::sleepFor(std::chrono::seconds(1));
        co_await std::move(second);
        if (!self)
            co_return false;
    }
    captureCountdown_ = 0;
    updateStatusTitle();
    co_return true;
}

QCoro::Task<std::optional<QString>> AppDelegate::takeRegion() {
    return Capture::take(CaptureMode::region, *services_.dialogs, services_.screenshots.get());
}

QCoro::Task<> AppDelegate::capture(CaptureMode mode) {
    if (!hasDestination()) {
        settings_->show();
        co_return;
    }
    QPointer<AppDelegate> self(this);
    // The delay lets menus and tooltips be opened first; a region is chosen by hand anyway.
    if (mode != CaptureMode::region) {
        if (captureCountdown_ > 0)
            co_return; // one delayed capture at a time: the icon shows it counting
        auto waiting =
            countDown(static_cast<int>(Config::shared().integerValue(keys::captureDelay)));
        const bool waited = co_await std::move(waiting);
        if (!waited || !self)
            co_return;
    }
    if (mode != CaptureMode::screen && Config::shared().boolValue(keys::annotateBeforeUpload)) {
        auto marking = markUp(mode);
        co_await std::move(marking);
        co_return;
    }
    auto taking = Capture::take(mode, *services_.dialogs, services_.screenshots.get());
    const std::optional<QString> shot = co_await std::move(taking);
    if (!shot || !self)
        co_return;
    auto uploading = uploadCapture(*shot, mode);
    co_await std::move(uploading);
}

QCoro::Task<> AppDelegate::uploadCapture(QString file, CaptureMode mode) {
    QPointer<AppDelegate> self(this);
    if (Config::shared().boolValue(keys::compressScreenshots) && mode != CaptureMode::window) {
        auto compressing = onWorker([file] { return ImageCompressor::compress(file); });
        file = co_await std::move(compressing);
        if (!self)
            co_return;
    }
    const bool annotate = Config::shared().boolValue(keys::annotateAfterCapture) &&
                          ServerInfo::shared().isEnabled(features::annotate);
    upload({file}, true, std::nullopt, annotate);
}

QCoro::Task<> AppDelegate::markUp(CaptureMode mode) {
    QPointer<AppDelegate> self(this);
    QString ending;
    auto taking = Capture::take(mode, *services_.dialogs, services_.screenshots.get(), &ending);
    const std::optional<QString> shot = co_await std::move(taking);
    if (!shot || !self)
        co_return;
    const overlay::Ending how = overlay::endingNamed(ending).value_or(overlay::Ending::upload);
    // What the editor didn't say to keep on this computer goes up, as without the editor.
    if (how == overlay::Ending::upload) {
        if (!hasDestination()) {
            // Marks are work: kept with the failed uploads, to be retried once connected.
            keepFailedUpload(*shot);
            settings_->show();
            co_return;
        }
        auto uploading = uploadCapture(*shot, mode);
        co_await std::move(uploading);
        co_return;
    }
    if (how == overlay::Ending::copy) {
        auto copying = copyPicture(*shot);
        co_await std::move(copying);
    } else {
        auto saving = savePicture(*shot, how == overlay::Ending::saveAs);
        co_await std::move(saving);
    }
    paths::removeTemporary(*shot);
}

QCoro::Task<> AppDelegate::copyText() {
    QPointer<AppDelegate> self(this);
    auto taking = takeRegion();
    const std::optional<QString> shot = co_await std::move(taking);
    if (!shot || !self)
        co_return;
    try {
        auto reading = TextRecognizer::recognize(*shot);
        const QString text = co_await std::move(reading);
        if (!text.isEmpty()) {
            playSound(platform::Sound::Success);
            auto copying =
                copyAndTell(text, QStringLiteral("Text copied"), QStringLiteral("Text recognized"),
                            TextRecognizer::preview(text), std::nullopt);
            co_await std::move(copying);
        } else {
            notifier_->notify(QStringLiteral("No text found"),
                              QStringLiteral("Try a bigger or sharper region."));
        }
    } catch (const Error& error) {
        if (self)
            showWarning(QStringLiteral("Couldn't read text"), error.message());
    }
    paths::removeTemporary(*shot);
}

QCoro::Task<> AppDelegate::keepRegion(KeepPicture where) {
    QPointer<AppDelegate> self(this);
    auto taking = takeRegion();
    const std::optional<QString> shot = co_await std::move(taking);
    if (!shot || !self)
        co_return;
    auto keeping =
        where == KeepPicture::onClipboard ? copyPicture(*shot) : savePicture(*shot, true);
    co_await std::move(keeping);
    paths::removeTemporary(*shot);
}

QCoro::Task<> AppDelegate::copyPicture(QString file) {
    QPointer<AppDelegate> self(this);
    auto reading = onWorker([file] {
        QFile png(file);
        return png.open(QIODevice::ReadOnly) ? png.readAll() : QByteArray();
    });
    const QByteArray png = co_await std::move(reading);
    if (!self)
        co_return;
    if (png.isEmpty()) {
        showWarning(QStringLiteral("Couldn't copy the picture"),
                    QStringLiteral("The capture could not be read."));
        co_return;
    }
    // What the desktop won't hand on is said, never claimed as copied.
    auto setting = services_.clipboard->setImage(png);
    const bool reaches = co_await std::move(setting);
    if (!self)
        co_return;
    if (reaches)
        playSound(platform::Sound::Success);
    QByteArray header = png;
    QBuffer buffer(&header);
    const QSize size = QImageReader(&buffer, "png").size();
    notifier_->notify(reaches ? QStringLiteral("Picture copied")
                              : QStringLiteral("Picture not copied"),
                      reaches ? QStringLiteral("%1 \u00d7 %2 pixels, ready to paste.")
                                    .arg(size.width())
                                    .arg(size.height())
                              : QStringLiteral("This desktop gives the clipboard only to the app "
                                               "in front. Use Save Region\u2026 instead."));
}

QCoro::Task<> AppDelegate::savePicture(QString file, bool ask) {
    QPointer<AppDelegate> self(this);
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    QDir().mkpath(pictures); // else the dialog opens wherever the app was started
    const QFileInfo named(pictures + QLatin1Char('/') + QFileInfo(file).fileName());
    QString target = named.filePath();
    if (ask) {
        auto asking = services_.dialogs->chooseSaveFile(target);
        target = co_await std::move(asking);
        if (!self || target.isEmpty())
            co_return;
    } else {
        // Unasked, nothing already there is replaced.
        for (int n = 2; QFileInfo::exists(target); ++n)
            target = named.path() + QLatin1Char('/') + named.completeBaseName() +
                     QStringLiteral("-%1.").arg(n) + named.suffix();
    }
    // The chosen name is replaced whole or not at all (the dialog asked before overwriting).
    auto saving = onWorker([file, target]() -> QString {
        QFile capture(file);
        if (!capture.open(QIODevice::ReadOnly))
            return QStringLiteral("The capture could not be read.");
        QString error;
        return writeFileAtomically(target, capture.readAll(), 0644, &error) ? QString() : error;
    });
    const QString failure = co_await std::move(saving);
    if (!self)
        co_return;
    if (!failure.isEmpty()) {
        showWarning(QStringLiteral("Couldn't save the picture"), failure);
        co_return;
    }
    playSound(platform::Sound::Success);
    notifier_->notify(QStringLiteral("Picture saved"), target);
}

} // namespace shotlark
