#include "hotkeys/Shortcut.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>

#include <cmath>

namespace shotlark {

namespace {

struct KeyEntry {
    quint32 mac;
    int qt;
};

// The ANSI keyboard's virtual key codes.
constexpr KeyEntry keyTable[] = {
    {0, Qt::Key_A},          {1, Qt::Key_S},          {2, Qt::Key_D},
    {3, Qt::Key_F},          {4, Qt::Key_H},          {5, Qt::Key_G},
    {6, Qt::Key_Z},          {7, Qt::Key_X},          {8, Qt::Key_C},
    {9, Qt::Key_V},          {11, Qt::Key_B},         {12, Qt::Key_Q},
    {13, Qt::Key_W},         {14, Qt::Key_E},         {15, Qt::Key_R},
    {16, Qt::Key_Y},         {17, Qt::Key_T},         {18, Qt::Key_1},
    {19, Qt::Key_2},         {20, Qt::Key_3},         {21, Qt::Key_4},
    {22, Qt::Key_6},         {23, Qt::Key_5},         {24, Qt::Key_Equal},
    {25, Qt::Key_9},         {26, Qt::Key_7},         {27, Qt::Key_Minus},
    {28, Qt::Key_8},         {29, Qt::Key_0},         {30, Qt::Key_BracketRight},
    {31, Qt::Key_O},         {32, Qt::Key_U},         {33, Qt::Key_BracketLeft},
    {34, Qt::Key_I},         {35, Qt::Key_P},         {36, Qt::Key_Return},
    {37, Qt::Key_L},         {38, Qt::Key_J},         {39, Qt::Key_Apostrophe},
    {40, Qt::Key_K},         {41, Qt::Key_Semicolon}, {42, Qt::Key_Backslash},
    {43, Qt::Key_Comma},     {44, Qt::Key_Slash},     {45, Qt::Key_N},
    {46, Qt::Key_M},         {47, Qt::Key_Period},    {48, Qt::Key_Tab},
    {49, Qt::Key_Space},     {50, Qt::Key_QuoteLeft}, {51, Qt::Key_Backspace},
    {53, Qt::Key_Escape},    {122, Qt::Key_F1},       {120, Qt::Key_F2},
    {99, Qt::Key_F3},        {118, Qt::Key_F4},       {96, Qt::Key_F5},
    {97, Qt::Key_F6},        {98, Qt::Key_F7},        {100, Qt::Key_F8},
    {101, Qt::Key_F9},       {109, Qt::Key_F10},      {103, Qt::Key_F11},
    {111, Qt::Key_F12},      {105, Qt::Key_F13},      {107, Qt::Key_F14},
    {113, Qt::Key_F15},      {106, Qt::Key_F16},      {64, Qt::Key_F17},
    {79, Qt::Key_F18},       {80, Qt::Key_F19},       {115, Qt::Key_Home},
    {116, Qt::Key_PageUp},   {117, Qt::Key_Delete},   {119, Qt::Key_End},
    {121, Qt::Key_PageDown}, {123, Qt::Key_Left},     {124, Qt::Key_Right},
    {125, Qt::Key_Down},     {126, Qt::Key_Up},
};

const QHash<quint32, QString>& specialKeys() {
    static const QHash<quint32, QString> names = {
        {122, QStringLiteral("F1")},     {120, QStringLiteral("F2")},
        {99, QStringLiteral("F3")},      {118, QStringLiteral("F4")},
        {96, QStringLiteral("F5")},      {97, QStringLiteral("F6")},
        {98, QStringLiteral("F7")},      {100, QStringLiteral("F8")},
        {101, QStringLiteral("F9")},     {109, QStringLiteral("F10")},
        {103, QStringLiteral("F11")},    {111, QStringLiteral("F12")},
        {105, QStringLiteral("F13")},    {107, QStringLiteral("F14")},
        {113, QStringLiteral("F15")},    {106, QStringLiteral("F16")},
        {64, QStringLiteral("F17")},     {79, QStringLiteral("F18")},
        {80, QStringLiteral("F19")},     {49, QStringLiteral("Space")},
        {36, QStringLiteral("\u21a9")},  {48, QStringLiteral("\u21e5")},
        {123, QStringLiteral("\u2190")}, {124, QStringLiteral("\u2192")},
        {126, QStringLiteral("\u2191")}, {125, QStringLiteral("\u2193")},
        {115, QStringLiteral("\u2196")}, {119, QStringLiteral("\u2198")},
        {116, QStringLiteral("\u21de")}, {121, QStringLiteral("\u21df")},
        {117, QStringLiteral("\u2326")},
    };
    return names;
}

std::optional<quint32> uint32Member(const QJsonObject& object, const char* name) {
    const QJsonValue value = object.value(QLatin1StringView(name));
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > 4294967295.0 || std::trunc(number) != number)
        return std::nullopt;
    return static_cast<quint32>(number);
}

} // namespace

std::optional<quint32> macKeyCode(int qtKey) {
    for (const KeyEntry& entry : keyTable) {
        if (entry.qt == qtKey)
            return entry.mac;
    }
    return std::nullopt;
}

Qt::Key qtKeyForMacKeyCode(quint32 keyCode) {
    for (const KeyEntry& entry : keyTable) {
        if (entry.mac == keyCode)
            return static_cast<Qt::Key>(entry.qt);
    }
    return Qt::Key_unknown;
}

std::optional<QString> specialKeyName(quint32 keyCode) {
    const auto found = specialKeys().constFind(keyCode);
    if (found == specialKeys().constEnd())
        return std::nullopt;
    return *found;
}

bool isFunctionKey(quint32 keyCode) {
    static const QList<quint32> codes = {122, 120, 99,  118, 96,  97,  98, 100, 101, 109,
                                         103, 111, 105, 107, 113, 106, 64, 79,  80};
    return codes.contains(keyCode);
}

quint32 carbonModifiers(Qt::KeyboardModifiers modifiers) {
    quint32 mask = 0;
    if (modifiers & Qt::ControlModifier)
        mask |= Shortcut::command;
    if (modifiers & Qt::AltModifier)
        mask |= Shortcut::option;
    if (modifiers & Qt::MetaModifier)
        mask |= Shortcut::control;
    if (modifiers & Qt::ShiftModifier)
        mask |= Shortcut::shift;
    return mask;
}

Qt::KeyboardModifiers Shortcut::qtModifiers() const {
    Qt::KeyboardModifiers result;
    if (modifiers & command)
        result |= Qt::ControlModifier;
    if (modifiers & option)
        result |= Qt::AltModifier;
    if (modifiers & control)
        result |= Qt::MetaModifier;
    if (modifiers & shift)
        result |= Qt::ShiftModifier;
    return result;
}

Qt::Key Shortcut::qtKey() const {
    return qtKeyForMacKeyCode(keyCode);
}

QString Shortcut::display() const {
    const Qt::Key qt = qtKey();
    if (qt == Qt::Key_unknown) // a key this keyboard table doesn't know: modifiers and its text
        return QKeySequence(QKeyCombination(qtModifiers(), Qt::Key_unknown))
                   .toString(QKeySequence::NativeText) +
               key;
    return QKeySequence(QKeyCombination(qtModifiers(), qt)).toString(QKeySequence::NativeText);
}

QString Shortcut::symbols() const {
    QString text;
    if (modifiers & control)
        text += QChar(0x2303);
    if (modifiers & option)
        text += QChar(0x2325);
    if (modifiers & shift)
        text += QChar(0x21e7);
    if (modifiers & command)
        text += QChar(0x2318);
    return text + key;
}

std::optional<Shortcut> Shortcut::fromKey(quint32 keyCode, quint32 mask,
                                          const QString& characters) {
    keyCode &= 0xffff;
    mask &= command | shift | option | control;
    if (!(mask & (command | option | control)) && !isFunctionKey(keyCode))
        return std::nullopt;
    QString text = specialKeyName(keyCode).value_or(characters.toUpper().trimmed());
    if (text.isEmpty())
        return std::nullopt;
    return Shortcut{keyCode, mask, text};
}

std::optional<Shortcut> Shortcut::fromQtKey(int unmodifiedKey, Qt::KeyboardModifiers modifiers) {
    const auto code = macKeyCode(unmodifiedKey);
    if (!code)
        return std::nullopt;
    // Printable keys produce their own character; Qt's key codes for them are that character.
    const QString characters =
        unmodifiedKey >= 0x20 && unmodifiedKey < 0x7f ? QString(QChar(unmodifiedKey)) : QString();
    return fromKey(*code, carbonModifiers(modifiers), characters);
}

QByteArray Shortcut::encode() const {
    return QJsonDocument(QJsonObject{{QStringLiteral("keyCode"), static_cast<qint64>(keyCode)},
                                     {QStringLiteral("modifiers"), static_cast<qint64>(modifiers)},
                                     {QStringLiteral("key"), key}})
        .toJson(QJsonDocument::Compact);
}

std::optional<Shortcut> Shortcut::decode(const QByteArray& json) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const auto keyCode = uint32Member(object, "keyCode");
    const auto mask = uint32Member(object, "modifiers");
    const QJsonValue key = object.value(QLatin1StringView("key"));
    if (!keyCode || !mask || !key.isString())
        return std::nullopt;
    return Shortcut{*keyCode, *mask, key.toString()};
}

} // namespace shotlark
