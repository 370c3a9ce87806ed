#pragma once

#include "hotkeys/Shortcut.h"

#include <QList>
#include <QString>

#include <optional>

namespace shotlark {

// The actions a global shortcut can start, in their fixed order.
enum class HotkeyAction { record, gif, region, window, screen, clipboard, ocr, replay, annotate };

namespace hotkeys {

const QList<HotkeyAction>& allCases();
QString rawValue(HotkeyAction action);
// Every action's raw value, in order: the NAMEs `shotlark --action NAME` takes.
QStringList rawValues();
std::optional<HotkeyAction> fromRawValue(const QString& raw);
QString title(HotkeyAction action);
Shortcut defaultShortcut(HotkeyAction action);
QString defaultsKey(HotkeyAction action); // "hotkey." + raw value

// The stored shortcut: the default when none is stored, nothing when switched off or damaged.
std::optional<Shortcut> shortcut(HotkeyAction action);
// Stores the shortcut (nothing: switched off).
void setShortcut(HotkeyAction action, const std::optional<Shortcut>& value);
// Gives `action` the shortcut and switches off every other action that has the same one.
void assign(HotkeyAction action, const std::optional<Shortcut>& value);
// Every action back to its default.
void resetAll();
// Whether the connected server offers the action (gif, ocr and replay can be switched off).
bool isAvailable(HotkeyAction action);

} // namespace hotkeys

size_t qHash(HotkeyAction action, size_t seed = 0) noexcept;

} // namespace shotlark
