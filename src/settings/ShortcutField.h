#pragma once

#include "hotkeys/HotkeyAction.h"
#include "platform/Services.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QToolButton;

namespace shotlark {

// Shows an action's shortcut and records a new one: click, then press the keys. Escape
// cancels, Backspace or Delete switches the hotkey off; hiding the window or leaving the field
// ends the recording too. While it records, the keyboard is grabbed and every global hotkey is
// suspended.
class ShortcutField : public QWidget {
    Q_OBJECT
public:
    ShortcutField(HotkeyAction action, platform::GlobalHotkeys& keys, platform::SoundPlayer& sounds,
                  QWidget* parent = nullptr);
    ~ShortcutField() override;

    HotkeyAction action() const { return action_; }
    bool isRecording() const { return recording_; }
    QPushButton* button() const { return button_; }
    QToolButton* offButton() const { return off_; }
    QLabel* warning() const { return warning_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void start();
    void stop();
    void refresh();
    void keyPressed(const QKeyEvent& event);

    HotkeyAction action_;
    platform::GlobalHotkeys& keys_;
    platform::SoundPlayer& sounds_;
    QLabel* warning_;
    QPushButton* button_;
    QToolButton* off_;
    bool recording_ = false;
};

} // namespace shotlark
