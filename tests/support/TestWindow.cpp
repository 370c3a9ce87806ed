// shotlark-test-window: a plain window for capture tests on a Wayland session.
//   shotlark-test-window known         the known picture, full screen
//   shotlark-test-window COLOUR W H    a window of one colour
#include "KnownPicture.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

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
