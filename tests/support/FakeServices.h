#pragma once

// Recording stand-ins for the desktop services, for tests that drive the app in-process.
#include "platform/Services.h"

#include <QList>
#include <QStringList>

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
    int alert(const platform::Alert& alert) override {
        alerts.append(alert);
        if (answers.empty())
            return 0;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    QStringList chooseFiles() override { return chosenFiles; }
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

// Services made of fakes, with pointers kept for the test to look at.
struct FakeDesktop {
    FakeSounds* sounds;
    FakeDialogs* dialogs;
    FakeOpener* opener;
    FakeNotifications* notifications;
    FakeAutostart* autostart;

    platform::Services services() {
        platform::Services made;
        made.sounds.reset(sounds = new FakeSounds);
        made.dialogs.reset(dialogs = new FakeDialogs);
        made.opener.reset(opener = new FakeOpener);
        made.notifications.reset(notifications = new FakeNotifications);
        made.autostart.reset(autostart = new FakeAutostart);
        return made;
    }
};

} // namespace shotlark::test
