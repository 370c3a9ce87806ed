// shotlark-screencapture: takes one screenshot on an X11 desktop, or on a Wayland one through the
// desktop's Screenshot portal.
//   shotlark-screencapture -x -i PATH        drag a region (Escape or a click cancels)
//   shotlark-screencapture -x -i -W PATH     click a window
//   shotlark-screencapture -x -D N PATH      display N (1-based, in Qt's screen order), whole
//   -e after -i or -i -W: the choice stays on screen to be marked up; how it left ("upload",
//   "copy", "save", "save-as") is printed on standard output
// The screens are frozen when it starts: what the user sees is what gets captured. An opaque
// PNG is written (to a temporary name, then renamed) only when an image was taken; a cancel
// exits 0 without a file. Errors go to stderr with a non-zero exit; 69 when a Wayland session
// has no screenshot portal.
#include "Editor.h"
#include "Overlay.h"
#include "PngWriter.h"
#include "base/GraphicalSession.h"
#include "platform/wayland/PortalScreenshot.h"
#include "platform/x11/ShmGrabber.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QScreen>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

constexpr const char* usage = "usage: shotlark-screencapture -x (-i [-W] [-e] | -D N) PATH\n"
                              "  -x -i PATH       drag a region (Escape or a click cancels)\n"
                              "  -x -i -W PATH    click a window\n"
                              "  -e               then mark it up; prints how it left\n"
                              "  -x -D N PATH     display N (1-based), whole\n";

int fail(const char* message) {
    std::fprintf(stderr, "shotlark-screencapture: %s\n", message);
    return 1;
}

bool writePng(const QImage& image, const QString& path) {
    return shotlark::tool::writeOpaquePng(image, path);
}

} // namespace

int main(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    if (args == QStringList{QStringLiteral("--help")} ||
        args == QStringList{QStringLiteral("-h")}) {
        std::printf("%s", usage);
        return 0;
    }
    if (args == QStringList{QStringLiteral("--version")}) {
        std::printf("shotlark-screencapture %s\n", SHOTLARK_VERSION);
        return 0;
    }
    if (!shotlark::hasGraphicalSession()) {
        std::fprintf(stderr, "shotlark-screencapture %s\n", shotlark::noGraphicalSession);
        return 1;
    }
    // A whole display of an X11 desktop needs no window system integration at all; the rest
    // takes what it needs: an area chooser the widgets, a Wayland portal only the GUI side.
    const bool interactive = args.contains(QStringLiteral("-i"));
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool x11 = qEnvironmentVariableIsSet("DISPLAY") &&
                     (platform.startsWith("xcb") ||
                      (platform.isEmpty() && !qEnvironmentVariableIsSet("WAYLAND_DISPLAY")));
    if (!interactive && x11 && args.size() == 4 && args[0] == QStringLiteral("-x") &&
        args[1] == QStringLiteral("-D")) {
        bool ok = false;
        const int display = args[2].toInt(&ok);
        const QString path = args[3];
        if (!ok || display < 1)
            return fail("-D takes a display number from 1");
        if (!QFileInfo(QFileInfo(path).absolutePath()).isDir())
            return fail("the target directory does not exist");
        const QList<QImage> frozen = shotlark::platform::x11::freezeScreensWithoutQt();
        if (!frozen.isEmpty()) {
            if (display > frozen.size())
                return fail("no such display");
            return writePng(frozen[display - 1], path) ? 0 : fail("couldn't write the image");
        }
        // No MIT-SHM (a remote display): Qt's own grab below.
    }
    std::unique_ptr<QGuiApplication> app(interactive ? new QApplication(argc, argv)
                                                     : new QGuiApplication(argc, argv));
    if (args.size() < 3 || args.takeFirst() != QStringLiteral("-x")) {
        std::fprintf(stderr, "%s", usage);
        return 64;
    }
    const QString path = args.takeLast();
    const bool edit = args.removeAll(QStringLiteral("-e")) > 0;
    enum class Mode { Region, Window, Display } mode;
    int display = 0;
    if (args == QStringList{QStringLiteral("-i")}) {
        mode = Mode::Region;
    } else if (args == QStringList{QStringLiteral("-i"), QStringLiteral("-W")}) {
        mode = Mode::Window;
    } else if (args.size() == 2 && args[0] == QStringLiteral("-D")) {
        bool ok = false;
        display = args[1].toInt(&ok);
        if (!ok || display < 1)
            return fail("-D takes a display number from 1");
        mode = Mode::Display;
    } else {
        std::fprintf(stderr, "%s", usage);
        return 64;
    }
    if (!QFileInfo(QFileInfo(path).absolutePath()).isDir())
        return fail("the target directory does not exist");
    const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
    if (!wayland && QGuiApplication::platformName() != QStringLiteral("xcb"))
        return fail("this needs an X11 or a Wayland display");

    QList<QImage> frozen;
    if (wayland) {
        namespace portal = shotlark::platform::wayland;
        // The whole desktop at once, then our own overlay, on every desktop: GNOME's and KDE's
        // pickers take several clicks and start on the whole screen.
        const portal::PortalShot shot = portal::takePortalScreenshot();
        if (shot.image.isNull()) {
            const int failed = fail(qPrintable(shot.error));
            return shot.missing ? portal::noScreenshotPortalExit : failed;
        }
        frozen = portal::splitByScreen(shot.image);
    } else {
        frozen = shotlark::platform::x11::freezeScreens();
    }
    if (frozen.isEmpty() || frozen.front().isNull())
        return fail("couldn't read the screen");

    if (mode == Mode::Display) {
        if (display > frozen.size())
            return fail("no such display");
        return writePng(frozen[display - 1], path) ? 0 : fail("couldn't write the image");
    }

    // The tool ends when the choice does; closing the editor's question is not the end.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    shotlark::tool::Picker picker(frozen, mode == Mode::Window);
    QImage taken;
    std::unique_ptr<shotlark::tool::Editor> editor;
    std::optional<shotlark::overlay::Ending> ending;
    QObject::connect(
        &picker, &shotlark::tool::Picker::finished, app.get(),
        [&](int screen, const QRect& pixels) {
            if (!edit || screen < 0 || pixels.isEmpty()) {
                if (screen >= 0 && !pixels.isEmpty())
                    taken = frozen[screen].copy(pixels);
                QCoreApplication::quit();
                return;
            }
            // The choice stays where it was, now with the tools beside it.
            editor = std::make_unique<shotlark::tool::Editor>(
                frozen[screen],
                QGuiApplication::screens().value(screen, QGuiApplication::primaryScreen()), pixels);
            QObject::connect(
                editor.get(), &shotlark::tool::Editor::finished, app.get(),
                [&](std::optional<shotlark::overlay::Ending> how, const QImage& marked) {
                    ending = how;
                    taken = marked;
                    QCoreApplication::quit();
                });
            editor->start();
        });
    picker.show();
    QCoreApplication::exec();
    if (taken.isNull())
        return 0; // cancelled: no file
    if (!writePng(taken, path))
        return fail("couldn't write the image");
    if (ending)
        std::printf("%s\n", qPrintable(shotlark::overlay::endingName(*ending)));
    return 0;
}
