#pragma once

// Recording stand-ins for the desktop services, for tests that drive the app in-process.
#include "platform/Services.h"
#include "support/Prelude.h"

#include <QHash>
#include <QKeyEvent>
#include <QList>

#include <deque>

namespace shotlark::test {

struct PostedNotification {
    QString title;
    QString body;
    std::optional<QUrl> link;
};

struct FakeSounds : platform::SoundPlayer {
    QList<platform::Sound> played;
    void play(platform::Sound sound) override { played.append(sound); }
};

struct FakeDialogs : platform::Dialogs {
    QList<platform::Alert> alerts;
    std::deque<int> answers; // pressed buttons, in order; 0 when none is left
    QStringList chosenFiles;
    QCoro::Task<int> alert(platform::Alert alert) override {
        alerts.append(alert);
        if (answers.empty())
            co_return 0;
        const int answer = answers.front();
        answers.pop_front();
        co_return answer;
    }
    QCoro::Task<QStringList> chooseFiles() override { co_return chosenFiles; }
};

struct FakeOpener : platform::LinkOpener {
    QList<QUrl> opened;
    void open(const QUrl& url) override { opened.append(url); }
};

struct FakeNotifications : platform::NotificationService {
    QList<PostedNotification> posted;
    void post(const QString& title, const QString& body, const std::optional<QUrl>& link) override {
        posted.append({title, body, link});
    }
    void click(int index) { Q_EMIT linkActivated(*posted.at(index).link); }
};

struct FakeAutostart : platform::Autostart {
    bool enabled = false;
    bool refuse = false;
    bool isEnabled() const override { return enabled; }
    bool setEnabled(bool on) override {
        if (refuse)
            return false;
        enabled = on;
        return true;
    }
};

// Grabs that succeed unless the combination is in `taken`; presses are simulated.
struct FakeHotkeys : platform::GlobalHotkeys {
    bool available = true;
    QList<QPair<int, Qt::KeyboardModifiers>> taken;
    QHash<quint32, QPair<int, Qt::KeyboardModifiers>> grabbed;
    bool isAvailable() const override { return available; }
    QHash<QString, quint32> names; // the last grab of each name
    bool grab(quint32 id, int key, Qt::KeyboardModifiers modifiers, const QString& name,
              const QString&) override {
        if (!available || taken.contains({key, modifiers}))
            return false;
        grabbed.insert(id, {key, modifiers});
        names.insert(name, id);
        return true;
    }
    // The desktop turns down a grab it had seemed to accept.
    void refuse(const QString& name) {
        const quint32 id = names.value(name);
        grabbed.remove(id);
        Q_EMIT refused(id);
    }
    void ungrab(quint32 id) override { grabbed.remove(id); }
    std::optional<int> unmodifiedKey(const QKeyEvent& event) const override { return event.key(); }
    // Presses a grabbed combination, as the desktop would.
    bool press(int key, Qt::KeyboardModifiers modifiers) {
        for (auto it = grabbed.cbegin(); it != grabbed.cend(); ++it) {
            if (it.value() == qMakePair(key, modifiers)) {
                Q_EMIT pressed(it.key());
                return true;
            }
        }
        return false;
    }
};

// Services made of fakes, with pointers kept for the test to look at.
struct FakeDesktop {
    FakeSounds* sounds;
    FakeDialogs* dialogs;
    FakeOpener* opener;
    FakeNotifications* notifications;
    FakeAutostart* autostart;
    FakeHotkeys* hotkeys;

    platform::Services services() {
        platform::Services made;
        made.sounds.reset(sounds = new FakeSounds);
        made.dialogs.reset(dialogs = new FakeDialogs);
        made.opener.reset(opener = new FakeOpener);
        made.notifications.reset(notifications = new FakeNotifications);
        made.autostart.reset(autostart = new FakeAutostart);
        made.hotkeys.reset(hotkeys = new FakeHotkeys);
        return made;
    }
};

} // namespace shotlark::test
