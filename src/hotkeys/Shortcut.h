#pragma once

#include <QByteArray>
#include <QString>
#include <Qt>

#include <optional>

namespace shotlark {

// One key combination. The stored identity keeps the Apple ANSI virtual key codes and the
// Carbon modifier mask, so a stored shortcut means the same on every platform:
// {"keyCode":26,"modifiers":768,"key":"7"} is Shift + Command(Ctrl here) + 7.
struct Shortcut {
    quint32 keyCode = 0;
    quint32 modifiers = 0; // command 0x100, shift 0x200, option 0x800, control 0x1000
    QString key;           // a special key's name, or the upper-cased character

    static constexpr quint32 command = 0x100;
    static constexpr quint32 shift = 0x200;
    static constexpr quint32 option = 0x800;
    static constexpr quint32 control = 0x1000;

    bool operator==(const Shortcut&) const = default;

    // As shown on this platform: the way Qt writes the key sequence, e.g. "Ctrl+Shift+7"
    // (command = Ctrl, option = Alt, control = Meta/Super, shift = Shift).
    QString display() const;
    // The symbol form, e.g. "⇧⌘7", "⌃⌥R".
    QString symbols() const;
    // Qt's key and modifiers for this shortcut; Qt::Key_unknown for a key code without a key.
    Qt::Key qtKey() const;
    Qt::KeyboardModifiers qtModifiers() const;

    // The shortcut a key press stands for: the key's virtual key code, the modifiers held and
    // the characters the key produces without modifiers. Without command, option or control
    // only F1-F19 qualify.
    static std::optional<Shortcut> fromKey(quint32 keyCode, quint32 modifiers,
                                           const QString& characters);
    // The same from Qt's terms: the key as produced without modifiers, and the modifiers held.
    static std::optional<Shortcut> fromQtKey(int unmodifiedKey, Qt::KeyboardModifiers modifiers);

    QByteArray encode() const;
    // Nothing unless the bytes are a JSON object with the three members of the right types.
    static std::optional<Shortcut> decode(const QByteArray& json);
};

// Apple ANSI virtual key codes and Qt keys, both ways.
std::optional<quint32> macKeyCode(int qtKey);
Qt::Key qtKeyForMacKeyCode(quint32 keyCode);
// The names of the special keys by key code ("F5", "Space", "↩", ...), and the F-keys.
std::optional<QString> specialKeyName(quint32 keyCode);
bool isFunctionKey(quint32 keyCode);

quint32 carbonModifiers(Qt::KeyboardModifiers modifiers);

} // namespace shotlark
