#include "capture/Capture.h"

#include "platform/Recording.h"
#include "platform/wayland/PortalScreenshot.h"
#include "store/Config.h"
#include "store/Paths.h"

#include <QCoreApplication>
#include <QCoro/QCoroProcess>
#include <QCursor>
#include <QDateTime>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>

namespace shotlark {

QString Capture::toolPath() {
    const QString beside =
        QCoreApplication::applicationDirPath() + QStringLiteral("/shotlark-screencapture");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("shotlark-screencapture"));
}

int Capture::displayUnderCursor() {
    const QPoint pointer = QCursor::pos();
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        if (screens[i]->geometry().contains(pointer))
            return static_cast<int>(i) + 1;
    }
    return 1;
}

QStringList Capture::arguments(CaptureMode mode, const QString& path, bool markUp) {
    const QStringList edit = markUp ? QStringList{QStringLiteral("-e")} : QStringList();
    switch (mode) {
    case CaptureMode::region:
        return QStringList{QStringLiteral("-x"), QStringLiteral("-i")} + edit + QStringList{path};
    case CaptureMode::window:
        return QStringList{QStringLiteral("-x"), QStringLiteral("-i"), QStringLiteral("-W")} +
               edit + QStringList{path};
    case CaptureMode::screen:
        break;
    }
    return {QStringLiteral("-x"), QStringLiteral("-D"), QString::number(displayUnderCursor()),
            path};
}

QString Capture::newScreenshotPath() {
    const QString dir = paths::newCaptureDir();
    if (dir.isEmpty())
        return QString();
    return dir + QStringLiteral("/Screenshot_") +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")) +
           QStringLiteral(".png");
}

namespace {

bool onX11() {
    return QGuiApplication::platformName() == QStringLiteral("xcb") &&
           !QGuiApplication::screens().isEmpty() && !qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

// What the desktop lacks for a capture, and what to do about it.
void sayMissing(platform::Dialogs& dialogs, const QString& title, const QString& text) {
    // Not awaited: the alert only tells, and the capture ends here.
    dialogs.alert({platform::Alert::Style::Warning, title, text, {}});
}

} // namespace

bool Capture::ensurePermission(platform::Dialogs& dialogs) {
    // In a Wayland session the portals are asked on each capture, and tell when there are none.
    if (onX11() || onWayland())
        return true;
    sayMissing(dialogs, QStringLiteral("No display to capture"),
               QStringLiteral("Shotlark can\u2019t reach your display. Log in "
                              "to an X11 or a Wayland session, then try again."));
    return false;
}

QCoro::Task<std::shared_ptr<platform::ScreenCast>>
Capture::chooseScreenCast(platform::RecordingBackends& recording, platform::Dialogs& dialogs) {
    Config& config = Config::shared();
    const QString token = config.stringValue(keys::screenCastRestoreToken).value_or(QString());
    platform::ScreenCastChoice choice;
    try {
        auto asking = recording.screenCast(token);
        choice = co_await std::move(asking);
    } catch (const platform::NoScreenCastPortal&) {
        sayMissing(
            dialogs, QStringLiteral("Screen cast portal needed"),
            QStringLiteral("In a Wayland session Shotlark records the screen through the "
                           "desktop\u2019s screen cast portal, which isn\u2019t running. Install "
                           "xdg-desktop-portal and the portal of your desktop "
                           "(xdg-desktop-portal-gnome, xdg-desktop-portal-kde or "
                           "xdg-desktop-portal-wlr) with PipeWire, log in again, then try again."));
        co_return std::shared_ptr<platform::ScreenCast>();
    }
    // A token serves once: the desktop hands out a new one with every stream.
    if (choice.restoreToken.isEmpty())
        config.remove(keys::screenCastRestoreToken);
    else
        config.setString(keys::screenCastRestoreToken, choice.restoreToken);
    co_return choice.cast;
}

QCoro::Task<std::optional<QString>> Capture::take(CaptureMode mode, platform::Dialogs& dialogs,
                                                  platform::ScreenshotPermission* permission,
                                                  QString* ending) {
    if (!ensurePermission(dialogs))
        co_return std::nullopt;
    // GNOME asks once whether apps may take screenshots, but not an app without a focused
    // window (a hotkey's): then its portal never answers. Asked here, in a window of ours, and
    // kept where GNOME keeps its own answer.
    if (permission) {
        auto checking = permission->state();
        const platform::ScreenshotPermission::State state = co_await std::move(checking);
        if (state != platform::ScreenshotPermission::State::Granted) {
            auto asking = dialogs.alert(
                {platform::Alert::Style::Informational,
                 QStringLiteral("Allow Shotlark to take screenshots?"),
                 QStringLiteral("GNOME lets apps take screenshots once you allow it. Your answer "
                                "is kept with GNOME\u2019s own, for the apps on this computer "
                                "that don\u2019t run in a sandbox."),
                 {QStringLiteral("Allow"), QStringLiteral("Cancel")}});
            const int answer = co_await std::move(asking);
            if (answer != 0)
                co_return std::nullopt;
            auto granting = permission->grant();
            co_await std::move(granting); // when it can't be kept, GNOME's portal asks itself
        }
    }
    const QString path = newScreenshotPath();
    const QString tool = toolPath();
    if (path.isEmpty() || tool.isEmpty())
        co_return std::nullopt;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(tool, arguments(mode, path, ending != nullptr && mode != CaptureMode::screen));
    auto started = qCoro(process).waitForStarted();
    if (!co_await std::move(started)) {
        paths::removeTemporary(path);
        co_return std::nullopt;
    }
    // The user may take as long as they like to choose.
    auto finished = qCoro(process).waitForFinished(std::chrono::milliseconds(-1));
    co_await std::move(finished);
    if (process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == platform::wayland::noScreenshotPortalExit)
        sayMissing(
            dialogs, QStringLiteral("Screenshot portal needed"),
            QStringLiteral("In a Wayland session Shotlark takes screenshots through the "
                           "desktop\u2019s screenshot portal, which isn\u2019t running. Install "
                           "xdg-desktop-portal and the portal of your desktop "
                           "(xdg-desktop-portal-gnome, xdg-desktop-portal-kde or "
                           "xdg-desktop-portal-wlr), log in again, then try again."));
    if (ending)
        *ending = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    // Cancelled or failed: no file, and its capture directory goes too.
    if (!QFileInfo::exists(path)) {
        paths::removeTemporary(path);
        co_return std::nullopt;
    }
    co_return path;
}

} // namespace shotlark
