#pragma once

#include "app/MenuModel.h"
#include "capture/Capture.h"
#include "hotkeys/HotkeyAction.h"
#include "platform/Services.h"
#include "recording/RegionSelector.h"
#include "server/UploadResult.h"
#include "server/Uploader.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <memory>
#include <optional>

namespace shotlark {

class HotKeyCenter;
class Notifier;
class NowPlaying;
class ReplayBuffer;
class ScreenRecorder;
class SettingsWindowController;
class MenuWindow;
class StatusItem;

// The application: its tray icon and menu, the upload pipeline, the configuration link.
// Lives on the main thread for the whole run.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(platform::Services services);
    ~AppDelegate() override;

    // Shows the tray icon, opens the settings when not connected, refreshes the server's
    // features in the background.
    void launch();
    // Arguments of a start (this one or a later one handed over): files to upload as a drop,
    // shotlark:// links, "--action NAME"; none, without a tray icon: the menu's window.
    void handleArguments(const QStringList& arguments);

    // Registers the hotkeys at launch; reports those another application owns.
    void registerHotKeys();
    void reportTakenHotKeys(const QSet<HotkeyAction>& failed);
    void hotKeyRefusedLater(HotkeyAction action);
    // Registers every set shortcut afresh; returns the actions whose registration was refused.
    QSet<HotkeyAction> reloadHotKeys();
    // What a hotkey (or `shotlark --action NAME`) starts.
    void perform(HotkeyAction action);
    // shotlark://configure?server=...&token=... links, as received; others are ignored.
    void openURLs(const QStringList& links);

    // The upload pipeline. Returns at once; the batch runs on the main thread's event loop.
    void upload(const QStringList& files, bool deleteAfter,
                const std::optional<QString>& convert = std::nullopt, bool annotate = false);
    QCoro::Task<> uploadClipboard();
    QCoro::Task<> pickFiles();
    // A screenshot, compressed when asked (never a window), uploaded, the editor opened after.
    QCoro::Task<> capture(CaptureMode mode);
    // The text of a dragged region onto the clipboard.
    QCoro::Task<> copyText();
    // A region or window marked up in the editor, then uploaded, copied or saved as it says.
    QCoro::Task<> markUp(CaptureMode mode);
    // A dragged region as a picture: onto the clipboard, or into a file the user names. Nothing
    // is uploaded.
    enum class KeepPicture { onClipboard, inFile };
    QCoro::Task<> keepRegion(KeepPicture where);

    // What an earlier run left in the temporary directory when it quit or crashed mid-upload:
    // request bodies are removed, captures are kept with the failed uploads. Only for the one
    // running instance (no other may be using those files).
    QCoro::Task<> sweepLeftovers();

    // Recording (RecordingFlow.cpp). Either hotkey stops whichever recording runs; while the
    // area is being chosen, they do nothing.
    void toggleRecording(bool gif);
    void stopRecordingAction();
    bool isRecording() const { return recordingStarted_.has_value(); }
    bool isRecordingGIF() const { return recordingGIF_; }
    bool isChoosingArea() const { return regionSelector_ != nullptr; }
    // "0:07", "75:00": whole minutes and seconds since the recording started.
    QString recordingDuration() const;
    const RecordingFrame& recordingFrame() const { return recordingFrame_; }

    // The replay buffer (ReplayFlow.cpp).
    QCoro::Task<> startReplay();
    void toggleReplayAction();
    QCoro::Task<> saveReplay();
    // Updates: a manual check, and installing the version the last check found.
    void checkForUpdates();
    QCoro::Task<> installUpdate();
    const std::shared_ptr<ReplayBuffer>& replay() const { return replay_; }
    NowPlaying* nowPlaying() const { return nowPlaying_.get(); }

    // The title shown by the tray icon (its tooltip, and drawn into the icon).
    QString statusTitle() const;
    void updateStatusTitle();
    QList<MenuItem> menuModel();

    qint64 activeUploads() const { return activeUploads_; }
    const QHash<QUuid, double>& progress() const { return progress_; }
    static QString failedUploadsDir();

Q_SIGNALS:
    // A batch posted its notifications (tests wait for it).
    void batchFinished();
    // A recording started, or its start failed (tests wait for it).
    void recordingStartSettled();
    // A replay save ended with its notification (tests wait for it).
    void replaySaveSettled();

private:
    QCoro::Task<> configure(QString server, QString token);
    // Asks before adding the upload server a custom-uploader file describes, and uses it.
    QCoro::Task<> importUploader(QString file);
    // Somewhere to upload to: the Shotlark server, or an imported upload server chosen instead.
    static bool hasDestination();
    // One file to wherever uploads go; a GIF is made here for an upload server that can't.
    QCoro::Task<UploadResult> sendFile(QString file, std::optional<QString> convert,
                                       Uploader::Progress progress);
    // Replay segments as one movie: joined by the Shotlark server, or here for another one.
    QCoro::Task<UploadResult> sendReplay(QStringList segments, int seconds);
    QCoro::Task<> copyPicture(QString file);
    // Without `ask`, straight into the pictures folder under the capture's own name.
    QCoro::Task<> savePicture(QString file, bool ask = true);
    // A capture file through the upload pipeline (compressed where the rule says).
    QCoro::Task<> uploadCapture(QString file, CaptureMode mode);
    // A region the user drags: its capture file, nothing when cancelled.
    QCoro::Task<std::optional<QString>> takeRegion();
    // Counts a delayed capture down where the tray shows it; false when the app went meanwhile.
    QCoro::Task<bool> countDown(int seconds);
    QCoro::Task<> runBatch(QStringList files, bool deleteAfter, std::optional<QString> convert,
                           bool annotate);
    QCoro::Task<> uploadClipboardContents(QImage image, QString text);
    QCoro::Task<> deleteEntry(HistoryEntry entry);
    QCoro::Task<> startServices();
    // Where the desktop shows no tray icon, the menu is a window of its own.
    QCoro::Task<> checkTray();
    void showMenuWindow(bool hint);
    QCoro::Task<> startRecording(bool gif);
    QCoro::Task<> recordWith(Selection selection, bool gif);
    // The screen or window the desktop streams for a recording (Wayland); nothing when the
    // user declined or it failed (then said so).
    QCoro::Task<std::optional<Selection>> chooseScreenCast(QString failureTitle);
    // Records the stream the desktop chose: a window whole, on a screen an area chosen on its
    // picture.
    QCoro::Task<> recordStream(Selection selection, bool gif);
    QCoro::Task<> finishRecording(std::shared_ptr<ScreenRecorder> recorder, bool gif);
    void stopRecording();
    void endRecordingUI();
    void openLink(const QString& link);
    // A page of the server, opened signed in where the server can do that.
    QCoro::Task<> openSignedIn(QUrl page);
    void showWarning(const QString& message, const QString& informative);
    // A sound, where the settings want sounds.
    void playSound(platform::Sound sound);
    // Puts `text` on the clipboard and says so: `copied` (nothing when empty) where other apps
    // can paste it, else `ready` with a Copy button, whose click gives the focus the desktop
    // wants.
    QCoro::Task<> copyAndTell(QString text, QString copied, QString ready, QString body,
                              std::optional<QString> link);
    QCoro::Task<> copyAgain(QString text);
    // Moves a capture whose upload failed to the failed uploads (the newest are kept); returns
    // where it went, or nothing.
    static QString keepFailedUpload(const QString& file);

    platform::Services services_;
    std::unique_ptr<Notifier> notifier_;
    std::unique_ptr<HotKeyCenter> hotKeyCenter_;
    QSet<HotkeyAction> lateRefusals_; // refused by the desktop after registration
    std::unique_ptr<SettingsWindowController> settings_;
    std::unique_ptr<StatusItem> statusItem_;
    std::unique_ptr<MenuWindow> menuWindow_;
    bool trayMissing_ = false;
    MenuActions menuActions_;
    std::shared_ptr<ScreenRecorder> recorder_;
    std::unique_ptr<RegionSelector> regionSelector_;
    bool choosingStream_ = false; // the desktop's screen cast dialog is open
    RecordingFrame recordingFrame_;
    std::optional<QDateTime> recordingStarted_;
    QTimer recordingTimer_;
    bool recordingGIF_ = false;
    std::shared_ptr<ReplayBuffer> replay_;
    std::unique_ptr<NowPlaying> nowPlaying_;
    int captureCountdown_ = 0;
    qint64 activeUploads_ = 0;
    QHash<QUuid, double> progress_;
};

} // namespace shotlark
