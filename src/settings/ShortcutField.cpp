#include "settings/ShortcutField.h"

#include "hotkeys/HotkeyState.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

namespace shotlark {

ShortcutField::ShortcutField(HotkeyAction action, platform::GlobalHotkeys& keys,
                             platform::SoundPlayer& sounds, QWidget* parent)
    : QWidget(parent), action_(action), keys_(keys), sounds_(sounds) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    warning_ = new QLabel;
    warning_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16));
    warning_->setToolTip(QStringLiteral("Another app is already using this shortcut"));
    button_ = new QPushButton;
    button_->setMinimumWidth(84);
    button_->setFocusPolicy(Qt::StrongFocus);
    button_->installEventFilter(this);
    off_ = new QToolButton;
    off_->setAutoRaise(true);
    off_->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    off_->setToolTip(QStringLiteral("Turn this hotkey off"));
    layout->addWidget(warning_);
    layout->addWidget(button_);
    layout->addWidget(off_);

    connect(button_, &QPushButton::clicked, this, [this] { recording_ ? stop() : start(); });
    connect(off_, &QToolButton::clicked, this, [this] {
        hotkeys::setShortcut(action_, std::nullopt);
        HotkeyState::shared().reloadAndRefresh();
    });
    connect(&HotkeyState::shared(), &HotkeyState::changed, this, &ShortcutField::refresh);
    refresh();
}

ShortcutField::~ShortcutField() {
    stop();
}

void ShortcutField::start() {
    HotkeyState::shared().suspend();
    recording_ = true;
    // Every key goes to this field, and to nothing else, until the recording ends.
    button_->grabKeyboard();
    refresh();
}

void ShortcutField::stop() {
    button_->releaseKeyboard();
    if (!recording_)
        return;
    recording_ = false;
    HotkeyState::shared().reloadAndRefresh();
    refresh();
}

void ShortcutField::refresh() {
    const auto shortcut = hotkeys::shortcut(action_);
    button_->setText(recording_ ? QStringLiteral("Press keys\u2026")
                     : shortcut ? shortcut->display()
                                : QStringLiteral("None"));
    QPalette palette = button_->palette();
    palette.setColor(QPalette::ButtonText, recording_ ? palette.color(QPalette::Highlight)
                                           : shortcut ? palette.color(QPalette::WindowText)
                                                      : palette.color(QPalette::PlaceholderText));
    button_->setPalette(palette);
    warning_->setVisible(!recording_ && HotkeyState::shared().failed.contains(action_));
    off_->setVisible(!recording_ && shortcut.has_value());
}

bool ShortcutField::eventFilter(QObject* watched, QEvent* event) {
    if (watched != button_ || !recording_)
        return QWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::ShortcutOverride: // no window shortcut may take the keys being recorded
        event->accept();
        return true;
    case QEvent::KeyPress:
        keyPressed(*static_cast<QKeyEvent*>(event));
        return true;
    case QEvent::KeyRelease:
        return true;
    case QEvent::FocusOut:
    case QEvent::Hide:
        // The window closed or lost the keyboard: the hotkeys must not stay suspended.
        stop();
        return QWidget::eventFilter(watched, event);
    default:
        return QWidget::eventFilter(watched, event);
    }
}

void ShortcutField::keyPressed(const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return; // a modifier on its own is not a key press yet
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        hotkeys::setShortcut(action_, std::nullopt);
        stop();
        return;
    case Qt::Key_Escape:
        stop();
        return;
    default:
        break;
    }
    const auto key = keys_.unmodifiedKey(event);
    const auto shortcut =
        key ? Shortcut::fromQtKey(*key, event.modifiers() & ~Qt::KeypadModifier) : std::nullopt;
    if (!shortcut) {
        sounds_.play(platform::Sound::Beep);
        return;
    }
    hotkeys::assign(action_, shortcut);
    stop();
}

} // namespace shotlark
