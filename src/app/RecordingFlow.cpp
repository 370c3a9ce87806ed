// Screen and GIF recordings: choosing the area, the frame, the running title, stopping and
// uploading the movie.
#include "app/AppDelegate.h"

#include "app/Notifier.h"
#include "base/Errors.h"
#include "capture/Capture.h"
#include "platform/Recording.h"
#include "recording/MeasuredScreenCast.h"
#include "recording/ScreenRecorder.h"
#include "settings/SettingsWindowController.h"
#include "store/Config.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

namespace shotlark {

namespace {

// The screen a monitor stream shows: by its place on the desktop, or the only screen there is.
QScreen* screenShowing(const platform::ScreenCast& stream) {
    if (stream.isWindow())
        return nullptr;
    const QList<QScreen*> screens = QGuiApplication::screens();
    const QRect placement = stream.placement();
    if (!placement.isEmpty()) {
        for (QScreen* screen : screens) {
            if (screen->geometry().topLeft() == placement.topLeft())
                return screen;
        }
    }
    return screens.size() == 1 ? screens.front() : nullptr;
}

} // namespace

QString AppDelegate::recordingDuration() const {
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 seconds = recordingStarted_ ? recordingStarted_->secsTo(now) : 0;
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void AppDelegate::toggleRecording(bool gif) {
    if (isRecording()) {
        stopRecording(); // either hotkey stops whichever recording runs
        return;
    }
    // Again while the area is being chosen: no recording, as with Escape. Where the overlay
    // can't take the keyboard (GNOME gives it no focus), the hotkey is the way out.
    if (regionSelector_) {
        regionSelector_->cancel();
        return;
    }
    if (!choosingStream_)
        startRecording(gif);
}

void AppDelegate::stopRecordingAction() {
    stopRecording();
}

void AppDelegate::stopRecording() {
    if (!recorder_)
        return;
    std::shared_ptr<ScreenRecorder> recorder = recorder_;
    const bool gif = recordingGIF_;
    endRecordingUI();
    finishRecording(std::move(recorder), gif);
}

QCoro::Task<> AppDelegate::finishRecording(std::shared_ptr<ScreenRecorder> recorder, bool gif) {
    QPointer<AppDelegate> self(this);
    QString movie;
    try {
        auto stopping = recorder->stop();
        movie = co_await std::move(stopping);
    } catch (const Error& error) {
        if (self)
            showWarning(QStringLiteral("Recording failed"), error.message());
        co_return;
    }
    if (!self) {
        keepFailedUpload(movie);
        co_return;
    }
    upload({movie}, true, gif ? std::optional(QStringLiteral("gif")) : std::nullopt, false);
}

void AppDelegate::endRecordingUI() {
    recorder_.reset();
    recordingStarted_.reset();
    recordingTimer_.stop();
    recordingFrame_.hide();
    updateStatusTitle();
}

QCoro::Task<> AppDelegate::startRecording(bool gif) {
    if (!hasDestination()) {
        settings_->show();
        co_return;
    }
    if (!Capture::ensurePermission(*services_.dialogs) || !services_.recording)
        co_return;
    QPointer<AppDelegate> self(this);
    if (services_.recording->streamsOnly()) {
        auto choosing = chooseScreenCast(QStringLiteral("Couldn't start recording"));
        std::optional<Selection> selection = co_await std::move(choosing);
        if (!self)
            co_return;
        if (!selection) {
            Q_EMIT recordingStartSettled();
            co_return;
        }
        recordStream(*selection, gif);
        co_return;
    }
    regionSelector_ = std::make_unique<RegionSelector>(services_.recording->freezeScreens());
    regionSelector_->begin([self, gif](std::optional<Selection> selection) {
        if (!self)
            return;
        // Not deleted here: the overlay that reported is still handling its event.
        self->regionSelector_.release()->deleteLater();
        if (selection)
            self->recordWith(*selection, gif);
    });
}

QCoro::Task<> AppDelegate::recordStream(Selection selection, bool gif) {
    QPointer<AppDelegate> self(this);
    // An area of a screen is chosen on its picture, as in an X11 session.
    QScreen* screen = screenShowing(*selection.stream);
    const QImage picture = screen ? selection.firstPicture : QImage();
    if (picture.isNull()) {
        recordWith(selection, gif);
        co_return;
    }
    QList<QImage> frozen;
    for (QScreen* each : QGuiApplication::screens()) {
        const QSize pixels = (QSizeF(each->size()) * each->devicePixelRatio()).toSize();
        if (each == screen) {
            frozen.append(picture.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        } else {
            QImage other(pixels, QImage::Format_RGB32); // not in this stream
            other.fill(Qt::black);
            frozen.append(other);
        }
    }
    regionSelector_ = std::make_unique<RegionSelector>(frozen);
    regionSelector_->begin([self, gif, stream = selection.stream,
                            screen = QPointer<QScreen>(screen)](std::optional<Selection> chosen) {
        if (!self)
            return;
        self->regionSelector_.release()->deleteLater();
        if (!chosen || !screen || chosen->screen != screen)
            return; // cancelled, or a screen this stream doesn't show
        chosen->stream = stream;
        self->recordWith(*chosen, gif);
    });
}

QCoro::Task<std::optional<Selection>> AppDelegate::chooseScreenCast(QString failureTitle) {
    QPointer<AppDelegate> self(this);
    choosingStream_ = true;
    std::shared_ptr<platform::ScreenCast> stream;
    QImage picture;
    QString problem;
    try {
        auto asking = Capture::chooseScreenCast(*services_.recording, *services_.dialogs);
        stream = co_await std::move(asking);
        // Its first picture measures it, and shows it to choose an area on.
        if (stream && self) {
            auto picturing = ScreenRecorder::firstPicture(stream);
            picture = co_await std::move(picturing);
        }
    } catch (const Error& error) {
        problem = error.message();
    }
    if (!self)
        co_return std::nullopt;
    choosingStream_ = false;
    if (!problem.isEmpty())
        showWarning(failureTitle, problem);
    if (!stream || picture.isNull())
        co_return std::nullopt;
    Selection selection;
    selection.isFullScreen = true;
    selection.stream = std::make_shared<MeasuredScreenCast>(std::move(stream), picture.size());
    selection.firstPicture = std::move(picture);
    co_return selection;
}

QCoro::Task<> AppDelegate::recordWith(Selection selection, bool gif) {
    QPointer<AppDelegate> self(this);
    auto recorder = std::make_shared<ScreenRecorder>(services_.recording);
    std::weak_ptr<ScreenRecorder> weak = recorder;
    recorder->onUnexpectedStop = [self, weak](const QString& reason) {
        // Only the recording that runs now; what was recorded until then is not uploaded.
        std::shared_ptr<ScreenRecorder> running = weak.lock();
        if (!self || !running || self->recorder_ != running)
            return;
        self->endRecordingUI();
        self->showWarning(QStringLiteral("Recording stopped"), reason);
        // The recorder is reporting from inside its own event: it goes in a later turn.
        QMetaObject::invokeMethod(
            self.data(), [running] {}, Qt::QueuedConnection);
    };
    // A Wayland client can't place the outline around the area: there is none there.
    if (!selection.isFullScreen && !selection.stream)
        recordingFrame_.show(selection);
    try {
        auto starting = recorder->start(selection, Config::shared().boolValue(keys::recordAudio));
        co_await std::move(starting);
    } catch (const Error& error) {
        if (self) {
            recordingFrame_.hide();
            showWarning(QStringLiteral("Couldn't start recording"), error.message());
            Q_EMIT recordingStartSettled();
        }
        co_return;
    }
    if (!self)
        co_return;
    recorder_ = recorder;
    recordingGIF_ = gif;
    recordingStarted_ = QDateTime::currentDateTime();
    recordingTimer_.start(1000);
    updateStatusTitle();
    if (!recorder->audioProblem().isEmpty())
        notifier_->notify(QStringLiteral("Recording without sound"), recorder->audioProblem());
    Q_EMIT recordingStartSettled();
}

} // namespace shotlark
