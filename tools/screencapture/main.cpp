// shotlark-screencapture: takes one screenshot on an X11 desktop, or on a Wayland one through the
// desktop's Screenshot portal.
//   shotlark-screencapture -x -i PATH        drag a region (Escape or a click cancels)
//   shotlark-screencapture -x -i -W PATH     click a window
//   shotlark-screencapture -x -D N PATH      display N (1-based, in Qt's screen order), whole
// The screens are frozen when it starts: what the user sees is what gets captured. An opaque
// PNG is written (to a temporary name, then renamed) only when an image was taken; a cancel
// exits 0 without a file. Errors go to stderr with a non-zero exit; 69 when a Wayland session
// has no screenshot portal.
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

namespace {

constexpr const char* usage = "usage: shotlark-screencapture -x (-i [-W] | -D N) PATH\n"
                              "  -x -i PATH       drag a region (Escape or a click cancels)\n"
                              "  -x -i -W PATH    click a window\n"
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

    shotlark::tool::Picker picker(frozen, mode == Mode::Window);
    QImage taken;
    QObject::connect(&picker, &shotlark::tool::Picker::finished, app.get(),
                     [&](const QImage& image) {
                         taken = image;
                         QCoreApplication::quit();
                     });
    picker.show();
    QCoreApplication::exec();
    if (taken.isNull())
        return 0; // cancelled: no file
    return writePng(taken, path) ? 0 : fail("couldn't write the image");
}
