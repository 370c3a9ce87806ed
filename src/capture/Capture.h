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
    // `permission`: the desktop's consent to screenshots, asked of the user first where it is
    // missing (GNOME); null where the desktop asks nothing.
    // With `ending`, a region or window is marked up first, and how it left the editor
    // ("upload", "copy", "save", "save-as") is stored there.
    static QCoro::Task<std::optional<QString>> take(CaptureMode mode, platform::Dialogs& dialogs,
                                                    platform::ScreenshotPermission* permission,
                                                    QString* ending = nullptr);
    // Whether the screen can be read here (an X11 or a Wayland display); otherwise says so and
    // returns false. A Wayland session without the portal needed is told after the try.
    static bool ensurePermission(platform::Dialogs& dialogs);
    // Where the desktop hands out streams: asks it for the screen or window to record, once (the
    // choice is kept in the settings for the next time). Nothing when the user declined or the
    // desktop has no screen cast portal (then an alert says what to install). Throws `Error`.
    static QCoro::Task<std::shared_ptr<platform::ScreenCast>>
    chooseScreenCast(platform::RecordingBackends& recording, platform::Dialogs& dialogs);

    // The tool's arguments for a mode, the target path last.
    static QStringList arguments(CaptureMode mode, const QString& path, bool markUp = false);
    // 1-based number of the screen under the pointer, in the order the tool counts them too.
    static int displayUnderCursor();
    // "Screenshot_" + local "yyyy-MM-dd_HH-mm-ss" + ".png", in a capture directory of its own.
    static QString newScreenshotPath();
    static QString toolPath();
};

} // namespace shotlark
