#pragma once

#include "overlay/Markup.h"

#include <QColor>
#include <QStandardPaths>
#include <QString>

#include <algorithm>
#include <iterator>

// The editor's tools as its toolbar offers them and its settings file keeps them.
namespace shotlark::tool::tools {

using overlay::MarkTool;

struct ToolInfo {
    MarkTool tool;
    const char* key; // as stored
    const char* glyph;
    const char* name;
    Qt::Key shortcut;
    const char* tip;
    QColor color; // the first time
    int width;
};

inline const ToolInfo toolInfos[] = {
    {MarkTool::arrow, "arrow", "\u2197", "Arrow", Qt::Key_A, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::line, "line", "\u2571", "Line", Qt::Key_L, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::rectangle, "rectangle", "\u25ad", "Rectangle", Qt::Key_R, "",
     QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::ellipse, "ellipse", "\u25ef", "Ellipse", Qt::Key_E, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::pen, "pen", "\u270e", "Pen", Qt::Key_P, "", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::highlighter, "highlighter", "\u258c", "Highlighter", Qt::Key_H, "",
     QColor(0xfd, 0xd8, 0x35), 5},
    {MarkTool::text, "text", "T", "Text", Qt::Key_T,
     "Click to type; click a text again to change it", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::counter, "counter", "\u2460", "Step number", Qt::Key_N,
     "1, 2, 3\u2026 each colour counts on its own", QColor(0xe5, 0x39, 0x35), 4},
    {MarkTool::pixelate, "pixelate", "\u25a6", "Pixelate", Qt::Key_X,
     "A determined reader can undo pixelation: use Redact to hide secrets",
     QColor(0x80, 0x80, 0x80), 4},
    {MarkTool::redact, "redact", "\u25a0", "Redact", Qt::Key_B,
     "A solid box: nothing of what is below remains", QColor(Qt::black), 4},
};

inline const QColor swatchColors[] = {QColor(0xe5, 0x39, 0x35), QColor(0xfb, 0x8c, 0x00),
                                      QColor(0xfd, 0xd8, 0x35), QColor(0x43, 0xa0, 0x47),
                                      QColor(0x1e, 0x88, 0xe5), QColor(Qt::black),
                                      QColor(Qt::white)};

inline constexpr int selectId = 100; // the selection tool's button
inline constexpr int smallestWidth = 1;
inline constexpr int largestWidth = 30;

inline const ToolInfo& infoOf(MarkTool tool) {
    return *std::find_if(std::begin(toolInfos), std::end(toolInfos),
                         [tool](const ToolInfo& info) { return info.tool == tool; });
}

inline QString stylesFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Shotlark/markup.json");
}

} // namespace shotlark::tool::tools
