#include "hotkeys/HotkeyAction.h"

#include "server/ServerInfo.h"
#include "store/Config.h"

#include <QHashFunctions>

namespace shotlark {

size_t qHash(HotkeyAction action, size_t seed) noexcept {
    return ::qHash(static_cast<int>(action), seed);
}

namespace hotkeys {

namespace {
struct Description {
    const char* raw;
    const char* title;
    Shortcut shortcut;
};

const Description& describe(HotkeyAction action) {
    static const Description table[] = {
        {"record", "Record screen (press again to stop)", {22, 0x300, QStringLiteral("6")}},
        {"gif", "Record GIF (press again to stop)", {18, 0x300, QStringLiteral("1")}},
        {"region", "Capture region", {26, 0x300, QStringLiteral("7")}},
        {"window", "Capture window", {28, 0x300, QStringLiteral("8")}},
        {"screen", "Capture screen", {25, 0x300, QStringLiteral("9")}},
        {"clipboard", "Upload clipboard", {29, 0x300, QStringLiteral("0")}},
        {"ocr", "Copy text from region", {19, 0x300, QStringLiteral("2")}},
        {"replay", "Save replay (last 30 seconds)", {15, 0x1800, QStringLiteral("R")}},
        {"annotate", "Capture region & annotate", {23, 0x300, QStringLiteral("5")}},
    };
    return table[static_cast<int>(action)];
}
} // namespace

const QList<HotkeyAction>& allCases() {
    static const QList<HotkeyAction> actions = {
        HotkeyAction::record,    HotkeyAction::gif,    HotkeyAction::region,
        HotkeyAction::annotate,  HotkeyAction::window, HotkeyAction::screen,
        HotkeyAction::clipboard, HotkeyAction::ocr,    HotkeyAction::replay};
    return actions;
}

QString rawValue(HotkeyAction action) {
    return QLatin1String(describe(action).raw);
}

QStringList rawValues() {
    QStringList names;
    for (HotkeyAction action : allCases())
        names.append(rawValue(action));
    return names;
}

std::optional<HotkeyAction> fromRawValue(const QString& raw) {
    for (HotkeyAction action : allCases()) {
        if (rawValue(action) == raw)
            return action;
    }
    return std::nullopt;
}

QString title(HotkeyAction action) {
    return QLatin1String(describe(action).title);
}

Shortcut defaultShortcut(HotkeyAction action) {
    return describe(action).shortcut;
}

QString defaultsKey(HotkeyAction action) {
    return QStringLiteral("hotkey.") + rawValue(action);
}

std::optional<Shortcut> shortcut(HotkeyAction action) {
    const auto stored = Config::shared().dataValue(defaultsKey(action));
    if (!stored)
        return defaultShortcut(action);
    if (stored->isEmpty())
        return std::nullopt;
    return Shortcut::decode(*stored); // damaged reads as switched off
}

void setShortcut(HotkeyAction action, const std::optional<Shortcut>& value) {
    Config::shared().setData(defaultsKey(action), value ? value->encode() : QByteArray());
}

void assign(HotkeyAction action, const std::optional<Shortcut>& value) {
    if (value) {
        for (HotkeyAction other : allCases()) {
            if (other != action && shortcut(other) == value)
                setShortcut(other, std::nullopt);
        }
    }
    setShortcut(action, value);
}

void resetAll() {
    for (HotkeyAction action : allCases())
        Config::shared().remove(defaultsKey(action));
}

bool isAvailable(HotkeyAction action) {
    const ServerInfo& info = ServerInfo::shared();
    switch (action) {
    case HotkeyAction::gif:
        return info.isEnabled(features::appGif);
    case HotkeyAction::ocr:
        return info.isEnabled(features::appOcr);
    case HotkeyAction::replay:
        return info.isEnabled(features::replayBuffer);
    default:
        return true;
    }
}

} // namespace hotkeys
} // namespace shotlark
