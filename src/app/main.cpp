// Shotlark: screenshots, recordings and files to your own media server, from the tray.
#include "app/AppDelegate.h"
#include "app/Instance.h"
#include "base/GraphicalSession.h"
#include "hotkeys/HotkeyAction.h"
#include "platform/TextRecognition.h"
#include "store/Config.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

namespace {

constexpr const char* usage =
    "Usage: shotlark [FILE|LINK...] [--action NAME]\n"
    "Screenshots and recordings to your media server, from the tray.\n"
    "\n"
    "  FILE...          upload files through the running Shotlark (starting it if needed)\n"
    "  LINK             a shotlark://configure?server=...&token=... link connects the app\n"
    "  --action NAME    run an action in the running Shotlark, as its hotkey would, for\n"
    "                   desktops where apps can't take global shortcuts; NAME is one of:\n"
    "                   %s\n"
    "  -h, --help       show this help\n"
    "  -v, --version    show the version\n";

int misuse(const QString& message) {
    std::fprintf(stderr, "shotlark: %s\nTry 'shotlark --help'.\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // Everything that needs no window system is settled before one is asked for.
    QStringList raw;
    for (int i = 0; i < argc; ++i)
        raw.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    const QCommandLineOption action(QStringLiteral("action"), QString(), QStringLiteral("NAME"));
    parser.addOptions({help, version, action});
    if (!parser.parse(raw))
        return misuse(parser.errorText());
    if (parser.isSet(help)) {
        QStringList names;
        for (shotlark::HotkeyAction known : shotlark::hotkeys::allCases())
            names.append(shotlark::hotkeys::rawValue(known));
        std::printf(usage, qPrintable(names.join(QStringLiteral(", "))));
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("shotlark %s\n", SHOTLARK_VERSION);
        return 0;
    }
    QStringList actions;
    for (const QString& name : parser.values(action)) {
        const auto known = shotlark::hotkeys::fromRawValue(name);
        if (!known)
            return misuse(QStringLiteral("unknown action \"%1\"").arg(name));
        actions << QStringLiteral("--action") << name;
    }
    if (!shotlark::hasGraphicalSession()) {
        std::fprintf(stderr, "Shotlark %s\n", shotlark::noGraphicalSession);
        return 1;
    }

    shotlark::platform::limitRecognizerThreads(argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Shotlark"));
    QApplication::setApplicationVersion(QStringLiteral(SHOTLARK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("shotlark"));
    QApplication::setQuitOnLastWindowClosed(false); // the tray icon is the app's only presence

    const QStringList arguments =
        shotlark::absoluteArguments(parser.positionalArguments()) + actions;
    if (shotlark::Instance::forward(arguments))
        return 0;
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
