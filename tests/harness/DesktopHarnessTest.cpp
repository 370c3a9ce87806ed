#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QWidget>

using namespace Qt::StringLiterals;

// The harness's private desktop is real: what we show is visible to other X clients and the
// session bus is ours alone.
TEST(DesktopHarness, WidgetAppearsOnThePrivateDisplay) {
    ASSERT_EQ(QGuiApplication::platformName(), u"xcb"_s);
    QWidget probe;
    probe.setWindowTitle(u"shotlark-harness-probe"_s);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(200, 30, 40));
    probe.setPalette(palette);
    probe.setAutoFillBackground(true);
    probe.setGeometry(100, 100, 240, 160);
    probe.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&probe));

    QProcess xwininfo;
    xwininfo.start(u"xwininfo"_s, {u"-root"_s, u"-tree"_s});
    ASSERT_TRUE(xwininfo.waitForFinished(10000));
    EXPECT_TRUE(xwininfo.readAllStandardOutput().contains("shotlark-harness-probe"));

    QImage pixels;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const QRect frame = probe.geometry();
        pixels = probe.screen()
                     ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                     .toImage();
        if (pixels.pixelColor(pixels.rect().center()) == QColor(200, 30, 40))
            break;
        QTest::qWait(20);
    }
    EXPECT_EQ(pixels.pixelColor(pixels.rect().center()), QColor(200, 30, 40));
}

TEST(DesktopHarness, SessionBusIsPrivate) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.isConnected());
    const QString name = u"org.shotlark.HarnessProbe"_s;
    ASSERT_TRUE(bus.interface()->registerService(name).value() ==
                QDBusConnectionInterface::ServiceRegistered);

    QProcess list;
    list.start(u"dbus-send"_s,
               {u"--session"_s, u"--print-reply"_s, u"--dest=org.freedesktop.DBus"_s,
                u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus.ListNames"_s});
    ASSERT_TRUE(list.waitForFinished(10000));
    const QByteArray names = list.readAllStandardOutput();
    EXPECT_TRUE(names.contains(name.toUtf8()));
    EXPECT_FALSE(names.contains("org.freedesktop.Notifications"))
        << "nothing of the user's session";
}
