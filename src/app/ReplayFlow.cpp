// The replay buffer: starting and stopping it, saving the last 30 seconds and uploading them.
#include "app/AppDelegate.h"

#include "app/Notifier.h"
#include "base/Errors.h"
#include "capture/Capture.h"
#include "platform/Recording.h"
#include "recording/ReplayBuffer.h"
#include "server/Uploader.h"
#include "settings/SettingsWindowController.h"
#include "store/Config.h"
#include "store/History.h"
#include "store/Paths.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QPointer>

namespace shotlark {

QCoro::Task<> AppDelegate::startReplay() {
    if (!hasDestination()) {
        settings_->show();
        co_return;
    }
    if (!Capture::ensurePermission(*services_.dialogs) || !services_.recording || replay_ ||
        choosingStream_)
        co_return;
    QPointer<AppDelegate> self(this);
    std::shared_ptr<platform::ScreenCast> stream;
    if (services_.recording->streamsOnly()) {
        auto choosing = chooseScreenCast(QStringLiteral("Couldn't start the replay buffer"));
        const std::optional<Selection> chosen = co_await std::move(choosing);
        if (!self || !chosen || replay_)
            co_return;
        stream = chosen->stream;
    }
    auto buffer = std::make_shared<ReplayBuffer>(services_.recording);
    std::weak_ptr<ReplayBuffer> weak = buffer;
    buffer->onUnexpectedStop = [self, weak](const QString& reason) {
        std::shared_ptr<ReplayBuffer> stopped = weak.lock();
        if (!self || !stopped || self->replay_ != stopped)
            return;
        // "replayEnabled" stays as it is: the buffer starts again at the next launch.
        self->replay_.reset();
        self->updateStatusTitle();
        self->notifier_->notify(QStringLiteral("Replay buffer stopped"), reason);
        // The buffer is reporting from inside its own event: it goes in a later turn.
        QMetaObject::invokeMethod(
            self.data(), [stopped] {}, Qt::QueuedConnection);
    };
    replay_ = buffer;
    try {
        auto starting = buffer->start(stream);
        co_await std::move(starting);
        if (self)
            updateStatusTitle();
    } catch (const Error& error) {
        if (self && self->replay_ == buffer) {
            self->replay_.reset();
            updateStatusTitle();
            showWarning(QStringLiteral("Couldn't start the replay buffer"), error.message());
        }
    }
}

void AppDelegate::toggleReplayAction() {
    Config& config = Config::shared();
    if (replay_ && replay_->isRunning()) {
        config.setBool(keys::replayEnabled, false);
        std::shared_ptr<ReplayBuffer> buffer = std::move(replay_);
        updateStatusTitle();
        [](std::shared_ptr<ReplayBuffer> stopping) -> QCoro::Task<> {
            auto stopped = stopping->stop();
            co_await std::move(stopped);
        }(std::move(buffer));
        return;
    }
    config.setBool(keys::replayEnabled, true);
    startReplay();
}

QCoro::Task<> AppDelegate::saveReplay() {
    if (!replay_ || !replay_->isRunning()) {
        notifier_->notify(QStringLiteral("Replay buffer is off"),
                          QStringLiteral("Start it from the menu first."));
        Q_EMIT replaySaveSettled();
        co_return;
    }
    QPointer<AppDelegate> self(this);
    std::shared_ptr<ReplayBuffer> buffer = replay_;
    auto saving = buffer->save();
    const QStringList segments = co_await std::move(saving);
    if (!self) {
        for (const QString& segment : segments)
            QFile::remove(segment);
        co_return;
    }
    if (segments.isEmpty()) {
        notifier_->notify(QStringLiteral("Nothing to save yet"),
                          QStringLiteral("The replay buffer just started."));
        Q_EMIT replaySaveSettled();
        co_return;
    }
    ++activeUploads_;
    updateStatusTitle();
    QString kept;
    try {
        auto uploading = sendReplay(segments, 30);
        const UploadResult result = co_await std::move(uploading);
        if (!self)
            co_return;
        History::add(result);
        const QString link =
            Config::shared().boolValue(keys::copyDirectLink) ? result.rawURL : result.url;
        for (const QString& segment : segments)
            QFile::remove(segment);
        playSound(platform::Sound::Success);
        auto copying = copyAndTell(link, QStringLiteral("Replay saved, link copied"),
                                   QStringLiteral("Replay saved, link ready"), link, link);
        co_await std::move(copying);
        if (!self)
            co_return;
    } catch (const Error& error) {
        if (!self)
            co_return;
        // Kept where failed captures go, instead of being deleted with the footage.
        for (const QString& segment : segments)
            kept = keepFailedUpload(segment);
        notifier_->notify(
            QStringLiteral("Replay upload failed"), error.message(),
            kept.isEmpty() ? std::nullopt
                           : std::optional(QUrl::fromLocalFile(kept).toString(QUrl::FullyEncoded)));
    }
    --activeUploads_;
    updateStatusTitle();
    Q_EMIT replaySaveSettled();
}

} // namespace shotlark
