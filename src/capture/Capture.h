#pragma once

#include "platform/Services.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

namespace shotlark {

enum class CaptureMode { region, window, screen };

// One screenshot through the shotlark-screencapture tool, into a private temporary PNG.
class Capture {
public:
    // The screenshot's file, or nothing (no permission, the tool couldn't start, cancelled).
    // `dialogs` shows the permission alert when the screen can't be read.
    static QCoro::Task<std::optional<QString>> take(CaptureMode mode, platform::Dialogs& dialogs);
    // Whether a screenshot can be tried here (an X11 or a Wayland display); otherwise says so
    // and returns false. A Wayland session without a screenshot portal is told after the try.
    static bool ensurePermission(platform::Dialogs& dialogs);
    // Whether the screen can be recorded here (an X11 display); otherwise says so.
    static bool ensureRecordingPermission(platform::Dialogs& dialogs);

    // The tool's arguments for a mode, the target path last.
    static QStringList arguments(CaptureMode mode, const QString& path);
    // 1-based number of the screen under the pointer, in the order the tool counts them too.
    static int displayUnderCursor();
    // "Screenshot_" + local "yyyy-MM-dd_HH-mm-ss" + ".png", in a capture directory of its own.
    static QString newScreenshotPath();
    static QString toolPath();
};

} // namespace shotlark
