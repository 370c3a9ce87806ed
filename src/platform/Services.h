#pragma once

#include <QCoro/QCoroTask>
#include <QKeyEvent>
#include <QMimeData>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>

// The desktop services the app needs, behind small interfaces. The Linux backends live beside
// this file; nothing else includes a D-Bus or sound-system header.
namespace shotlark::platform {

enum class Sound {
    Success, // an upload finished
    Failure, // an upload failed
    Beep,    // nothing to do
};

class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual void play(Sound sound) = 0;
};

struct Alert {
    enum class Style { Informational, Warning };
    Style style = Style::Informational;
    QString message;
    QString informative;
    QStringList buttons; // empty: the platform's single default button
};

// Dialogs never run a nested event loop: they are shown and awaited, so that no caller (a
// signal handler above all) is re-entered while one is open.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Shows an alert in front of everything; completes with the index of the button pressed, or
    // -1 when the alert was dismissed otherwise.
    virtual QCoro::Task<int> alert(Alert alert) = 0;
    // Lets the user pick several files (no directories) to upload; empty when cancelled.
    virtual QCoro::Task<QStringList> chooseFiles(const QString& startIn) = 0;
    // Asks where to save a picture, proposing `suggested` (a full path); empty when cancelled.
    virtual QCoro::Task<QString> chooseSaveFile(const QString& suggested) = 0;
};

class LinkOpener {
public:
    virtual ~LinkOpener() = default;
    virtual void open(const QUrl& url) = 0;
};

// Desktop notifications. A notification posted with a link reports a click on it through
// linkActivated(); without a notification service nothing is shown and nothing fails.
class NotificationService : public QObject {
    Q_OBJECT
public:
    // With `copy`, the notification offers a "Copy" button for that text.
    virtual void post(const QString& title, const QString& body, const std::optional<QUrl>& link,
                      const QString& copy = QString()) = 0;

Q_SIGNALS:
    void linkActivated(const QUrl& link);
    void copyRequested(const QString& text);
};

// Starting the app when the user logs in.
class Autostart {
public:
    virtual ~Autostart() = default;
    virtual bool isEnabled() const = 0;
    // Returns false when the change could not be made.
    virtual bool setEnabled(bool enabled) = 0;
};

// System-wide key grabs. Keys are Qt keys as produced without modifiers.
class GlobalHotkeys : public QObject {
    Q_OBJECT
public:
    // False where grabs can't work (Wayland without the GlobalShortcuts portal): nothing is
    // registered, nothing is "taken".
    virtual bool isAvailable() const = 0;
    // False when the combination can't be grabbed (another application owns it). `name` is a
    // stable identifier of what the shortcut does ("region"), `title` what the desktop shows
    // for it; a desktop that binds shortcuts itself may refuse one later, through refused().
    virtual bool grab(quint32 id, int qtKey, Qt::KeyboardModifiers modifiers, const QString& name,
                      const QString& title) = 0;
    virtual void ungrab(quint32 id) = 0;
    // The key `event`'s key produces without modifiers (Shift+7 gives Key_7 whatever the layout
    // makes of it); nothing for keys that produce none.
    virtual std::optional<int> unmodifiedKey(const QKeyEvent& event) const = 0;

Q_SIGNALS:
    // A grabbed combination was pressed (not for auto-repeat); on the main thread.
    void pressed(quint32 id);
    // A grab that had seemed to succeed was not bound after all.
    void refused(quint32 id);
};

// What a media player is playing.
struct PlayingTrack {
    QString title;
    QString artist; // several joined with ", "; empty when none
    QString album;
};

// The media players of the session (MPRIS on the session bus). Never starts a player.
class MediaPlayers {
public:
    virtual ~MediaPlayers() = default;
    // The track the player at `busName` is playing: nothing when nobody owns the name, it is
    // paused or stopped, answers nothing within a short time, or answers garbage.
    virtual QCoro::Task<std::optional<PlayingTrack>> playing(QString busName) = 0;
};

// The clipboard. Reading completes later: in a Wayland session the data comes from the client
// that owns the clipboard, which may take its time. Setting completes later too: where the
// desktop gives the clipboard only to the app in front (GNOME), a window of ours first has to
// get the focus.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    // True when other apps can paste it; false when the desktop kept the clipboard from us.
    virtual QCoro::Task<bool> setText(QString text) = 0;
    // A picture, offered as image/png (the bytes of a PNG file).
    virtual QCoro::Task<bool> setImage(QByteArray png) = 0;
    // A copy of what the clipboard holds (files as URLs, an image, text); null when it is empty
    // or can't be read.
    virtual QCoro::Task<std::unique_ptr<QMimeData>> contents() = 0;
};

// Whether the desktop shows tray icons at all (stock GNOME doesn't).
class TrayHost {
public:
    virtual ~TrayHost() = default;
    // A StatusNotifier host on the session bus, or an X11 system tray; asked without blocking.
    virtual QCoro::Task<bool> present() = 0;
};

// The desktop's own yes or no for apps that take screenshots (GNOME asks once, for every app it
// can't tell apart, and may not show its question to an app without a focused window).
class ScreenshotPermission {
public:
    enum class State { Granted, Denied, Unasked };
    virtual ~ScreenshotPermission() = default;
    virtual QCoro::Task<State> state() = 0;
    // Keeps the user's yes where the desktop keeps its own answer; false when it can't.
    virtual QCoro::Task<bool> grant() = 0;
};

class RecordingBackends;
class ScreenCast;

struct Services {
    std::unique_ptr<SoundPlayer> sounds;
    std::unique_ptr<Dialogs> dialogs;
    std::unique_ptr<LinkOpener> opener;
    std::unique_ptr<NotificationService> notifications;
    std::unique_ptr<Autostart> autostart;
    std::unique_ptr<GlobalHotkeys> hotkeys;
    std::shared_ptr<RecordingBackends> recording; // shared with recorders still finishing
    std::unique_ptr<MediaPlayers> players;
    std::unique_ptr<Clipboard> clipboard;              // null: Qt's own
    std::unique_ptr<TrayHost> tray;                    // null: assume there is one
    std::unique_ptr<ScreenshotPermission> screenshots; // null: the desktop asks nothing

    // The Linux desktop: libcanberra, Qt dialogs, the desktop's browser, the session bus's
    // notification service, XDG autostart, X11 key grabs (none on Wayland), X11 frames with
    // PulseAudio sound into FFmpeg movies.
    static Services linuxDesktop();
};

} // namespace shotlark::platform
