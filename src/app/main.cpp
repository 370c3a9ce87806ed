// Shotlark: screenshots, recordings and files to your own media server, from the tray.
#include "app/AppDelegate.h"
#include "app/Instance.h"
#include "base/GraphicalSession.h"
#include "hotkeys/HotkeyAction.h"
#include "platform/TextRecognition.h"
#include "store/Config.h"
#include "update/Installation.h"
#include "update/Updater.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>

#include <csignal>
#include <cstdio>

// Test builds give another version and key; the real one is the project's.
#ifndef SHOTLARK_APP_VERSION
#define SHOTLARK_APP_VERSION SHOTLARK_VERSION
#endif

namespace {

constexpr const char* usage =
    "Usage: shotlark [FILE|LINK...] [--action NAME]\n"
    "Screenshots and recordings to your media server, from the tray.\n"
    "\n"
    "  FILE...          upload files through the running Shotlark (starting it if needed)\n"
    "  LINK             a shotlark://configure?server=...&token=... link connects the app\n"
    "  --stdin          read FILEs and LINKs from standard input, one a line: a link's\n"
    "                   token stays out of the process list, which every user can read\n"
    "  --action NAME    run an action in the running Shotlark, as its hotkey would, for\n"
    "                   desktops where apps can't take global shortcuts; NAME is one of:\n"
    "                   %s\n"
    "  --install-desktop-entry\n"
    "                   register this unpacked bundle for shotlark:// links and Open With\n"
    "  -h, --help       show this help\n"
    "  -v, --version    show the version\n";

int misuse(const QString& message) {
    std::fprintf(stderr, "shotlark: %s\nTry 'shotlark --help'.\n", qPrintable(message));
    return 2;
}

} // namespace

#ifdef SHOTLARK_MAIN_MODULE
// Called by the launcher (Launcher.cpp) when no running instance took the arguments.
extern "C" __attribute__((visibility("default"))) int shotlark_main(int argc, char** argv) {
#else
int main(int argc, char** argv) {
#endif
    // The app writes to pipes and sockets whose reader may leave at any time (a paste that
    // stops halfway): that is an EPIPE to handle where it happens, never a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    // Before anything is read (standard input above all): this may start the program again.
    shotlark::platform::limitRecognizerThreads(argv);
    // Everything that needs no window system is settled before one is asked for.
    QStringList raw;
    for (int i = 0; i < argc; ++i)
        raw.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    const QCommandLineOption action(QStringLiteral("action"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption desktopEntry(QStringLiteral("install-desktop-entry"), QString());
    // Used by the update script only: this (new) bundle takes the place of the one at PATH.
    const QCommandLineOption swapInto(QStringLiteral("swap-into"), QString(),
                                      QStringLiteral("PATH"));
    const QCommandLineOption fromStdin(QStringLiteral("stdin"), QString());
    parser.addOptions({help, version, action, desktopEntry, swapInto, fromStdin});
    if (!parser.parse(raw))
        return misuse(parser.errorText());
    if (parser.isSet(help)) {
        std::printf(usage, qPrintable(shotlark::hotkeys::rawValues().join(QStringLiteral(", "))));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("shotlark %s\n", SHOTLARK_APP_VERSION);
        return 0;
    }
    if (parser.isSet(swapInto) || parser.isSet(desktopEntry)) {
        QCoreApplication core(argc, argv); // for the program's own path
        if (parser.isSet(swapInto))
            return shotlark::installation::swapInto(parser.value(swapInto));
        const auto here = shotlark::installation::current();
        if (here.kind != shotlark::installation::Kind::Bundle) {
            std::fprintf(stderr, "shotlark: only an unpacked Shotlark.app bundle registers itself; "
                                 "packages and builds have their own desktop entry\n");
            return 1;
        }
        const QString failure = shotlark::installation::installDesktopEntry(here.root);
        if (!failure.isEmpty()) {
            std::fprintf(stderr, "shotlark: %s\n", qPrintable(failure));
            return 1;
        }
        std::printf("Registered %s for shotlark:// links\n", qPrintable(here.root));
        return 0;
    }
    QStringList actions;
    for (const QString& name : parser.values(action)) {
        const auto known = shotlark::hotkeys::fromRawValue(name);
        if (!known)
            return misuse(QStringLiteral("unknown action \"%1\"").arg(name));
        actions << QStringLiteral("--action") << name;
    }

    QStringList positional = parser.positionalArguments();
    if (parser.isSet(fromStdin)) {
        QFile input;
        if (input.open(stdin, QIODevice::ReadOnly)) {
            // Links and paths: a megabyte is far more than any hand-over needs.
            for (const QByteArray& line : input.read(1 << 20).split('\n')) {
                if (!line.trimmed().isEmpty())
                    positional.append(QString::fromLocal8Bit(line.trimmed()));
            }
        }
    }
    const QStringList arguments = shotlark::absoluteArguments(positional) + actions;
    // A running instance takes them at once: a second start needs no window system.
    if (shotlark::Instance::forward(arguments))
        return 0;
    if (!shotlark::hasGraphicalSession()) {
        std::fprintf(stderr, "Shotlark %s\n", shotlark::noGraphicalSession);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Shotlark"));
    QApplication::setApplicationVersion(QStringLiteral(SHOTLARK_APP_VERSION));
    shotlark::Updater::setTrustedKey(QByteArray::fromHex(SHOTLARK_UPDATE_KEY));
    QApplication::setDesktopFileName(QStringLiteral("shotlark"));
    QApplication::setQuitOnLastWindowClosed(false); // the tray icon is the app's only presence

    shotlark::Instance instance;
    shotlark::AppDelegate* delegate = nullptr;
    if (!instance.claim([&delegate](const QStringList& forwarded) {
            if (delegate)
                delegate->handleArguments(forwarded);
        })) {
        // Another instance is starting right now: hand over to it.
        if (shotlark::Instance::forward(arguments))
            return 0;
        std::fprintf(stderr, "shotlark: another instance is running but does not answer\n");
        return 1;
    }

    shotlark::Config::shared();
    shotlark::AppDelegate appDelegate(shotlark::platform::Services::linuxDesktop());
    delegate = &appDelegate;
    appDelegate.sweepLeftovers(); // we hold the instance lock: nobody else uses those files
    appDelegate.launch();
    appDelegate.handleArguments(arguments);
    return QApplication::exec();
}
