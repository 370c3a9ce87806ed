// Shotlark: screenshots, recordings and files to your own media server, from the tray.
#include "app/AppDelegate.h"
#include "app/Instance.h"
#include "hotkeys/HotkeyAction.h"
#include "platform/TextRecognition.h"
#include "store/Config.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char** argv) {
    shotlark::platform::limitRecognizerThreads(argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Shotlark"));
    QApplication::setApplicationVersion(QStringLiteral(SHOTLARK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("shotlark"));
    QApplication::setQuitOnLastWindowClosed(false); // the tray icon is the app's only presence

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Screenshots and recordings to your media server."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption action(
        QStringLiteral("action"),
        QStringLiteral(
            "Run an action in the running Shotlark, as its hotkey would: record, gif, region, "
            "window, "
            "screen, clipboard, ocr, replay. For desktops where apps can't take global shortcuts."),
        QStringLiteral("NAME"));
    parser.addOption(action);
    parser.addPositionalArgument(QStringLiteral("files"),
                                 QStringLiteral("Files to upload, or a shotlark://configure link."),
                                 QStringLiteral("[FILE|LINK...]"));
    parser.process(app);

    QStringList arguments = shotlark::absoluteArguments(parser.positionalArguments());
    for (const QString& name : parser.values(action)) {
        const auto known = shotlark::hotkeys::fromRawValue(name);
        if (!known) {
            std::fprintf(stderr, "shotlark: unknown action \"%s\"\n", qPrintable(name));
            return 2;
        }
        if (!shotlark::hotkeys::hasFlow(*known)) {
            std::fprintf(stderr, "shotlark: the action \"%s\" is not part of this version yet\n",
                         qPrintable(name));
            return 2;
        }
        arguments << QStringLiteral("--action") << name;
    }
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
    appDelegate.launch();
    appDelegate.handleArguments(arguments);
    return QApplication::exec();
}
