// shotlark-test-window: a plain window for capture tests on a Wayland session.
//   shotlark-test-window known         the known picture, full screen
//   shotlark-test-window COLOUR W H    a window of one colour
//   shotlark-test-window paste         pastes: prints the clipboard's text once it has the focus
//   shotlark-test-window copy TEXT     copies TEXT when clicked, and keeps offering it
#include "KnownPicture.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 2 && args[1] == u"known"_s) {
        const QSize size = QGuiApplication::primaryScreen()->geometry().size();
        QLabel label;
        label.setPixmap(
            QPixmap::fromImage(shotlark::test::knownImage(size.width(), size.height())));
        label.setContentsMargins(0, 0, 0, 0);
        label.showFullScreen();
        return app.exec();
    }
    if (args.size() == 2 && args[1] == u"paste"_s) {
        // As another app would paste: the compositor offers the clipboard to the focused window.
        QLabel label(u"paste"_s);
        label.resize(200, 100);
        label.show();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (!label.isActiveWindow())
                return;
            std::fputs(QGuiApplication::clipboard()->text().toUtf8().constData(), stdout);
            app.quit();
        });
        poll.start(200);
        return app.exec();
    }
    if (args.size() == 3 && args[1] == u"copy"_s) {
        // As a person copies in another app: with a click, which the compositor requires.
        QPushButton button(u"copy"_s);
        button.resize(200, 100);
        QObject::connect(&button, &QPushButton::clicked,
                         [&] { QGuiApplication::clipboard()->setText(args[2]); });
        button.show();
        return app.exec();
    }
    if (args.size() != 4)
        return 64;
    QWidget window;
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(args[1]));
    window.setPalette(palette);
    window.setAutoFillBackground(true);
    window.resize(args[2].toInt(), args[3].toInt());
    window.show();
    return app.exec();
}
