#pragma once

#include "platform/Services.h"

#include <QHash>

struct ca_context;

namespace shotlark::platform {

class CanberraSounds : public SoundPlayer {
public:
    CanberraSounds();
    ~CanberraSounds() override;
    void play(Sound sound) override;

private:
    ca_context* context_ = nullptr;
};

// Qt's clipboard: right on X11; on Wayland it reaches other apps only while one of our windows
// has the focus.
class QtClipboard : public Clipboard {
public:
    QCoro::Task<bool> setText(QString text) override;
    QCoro::Task<bool> setImage(QByteArray png) override;
    QCoro::Task<std::unique_ptr<QMimeData>> contents() override;
};

class QtDialogs : public Dialogs {
public:
    QCoro::Task<int> alert(Alert alert) override;
    QCoro::Task<QStringList> chooseFiles(const QString& startIn) override;
    QCoro::Task<QString> chooseSaveFile(const QString& suggested) override;
};

// Opens links in the desktop's browser. With SHOTLARK_OPEN_LOG set, links are appended to that
// file instead (one per line): the automated tests' window on what would have opened.
class DesktopOpener : public LinkOpener {
public:
    void open(const QUrl& url) override;
};

// org.freedesktop.Notifications on the session bus.
class DBusNotifications : public NotificationService {
    Q_OBJECT
public:
    DBusNotifications();
    void post(const QString& title, const QString& body, const std::optional<QUrl>& link,
              const QString& copy) override;

private Q_SLOTS:
    void actionInvoked(quint32 id, const QString& action);
    void closed(quint32 id, quint32 reason);

private:
    bool markup_ = false;
    QHash<quint32, QUrl> links_;
    QHash<quint32, QString> copies_;
};

// ~/.config/autostart/shotlark.desktop: on exactly when it exists and is not hidden.
class XdgAutostart : public Autostart {
public:
    bool isEnabled() const override;
    bool setEnabled(bool enabled) override;
    static QString entryPath();
};

// Key grabs on the X server's root window, through Qt's own xcb connection.
class XcbHotkeys : public GlobalHotkeys {
public:
    XcbHotkeys();
    ~XcbHotkeys() override;
    bool isAvailable() const override;
    bool grab(quint32 id, int qtKey, Qt::KeyboardModifiers modifiers, const QString& name,
              const QString& title) override;
    void ungrab(quint32 id) override;
    std::optional<int> unmodifiedKey(const QKeyEvent& event) const override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Where global grabs are impossible: shortcuts are bound in the desktop's own settings to
// `shotlark --action NAME` instead.
class DesktopTrayHost : public TrayHost {
public:
    QCoro::Task<bool> present() override;
};

class NoGlobalHotkeys : public GlobalHotkeys {
public:
    bool isAvailable() const override { return false; }
    bool grab(quint32, int, Qt::KeyboardModifiers, const QString&, const QString&) override {
        return false;
    }
    void ungrab(quint32) override {}
    std::optional<int> unmodifiedKey(const QKeyEvent& event) const override;
};

// MPRIS players on the session bus, asked asynchronously with a short time limit.
class MprisPlayers : public MediaPlayers {
public:
    QCoro::Task<std::optional<PlayingTrack>> playing(QString busName) override;
};

// The key a US layout gives without Shift, for shifted symbols; `key` itself otherwise.
int unshiftedUsKey(int key);

} // namespace shotlark::platform
