#pragma once

// A test on a private headless Wayland session, with what drives it as a user would: windows
// to look at, a virtual pointer, and sway's own view of its windows.
#include "support/KnownPicture.h"
#include "support/Prelude.h"
#include "support/WaylandSession.h"

#include <QImage>

namespace shotlark::test {

class WaylandTest : public testing::Test {
protected:
    static constexpr int width = 1280, height = 720;

    void SetUp() override { ASSERT_TRUE(session.start(width, height, withPortals)); }

    void TearDown() override {
        for (QProcess* process : {&window, &pointer}) {
            process->kill();
            process->waitForFinished();
        }
    }

    void start(QProcess& process, const QStringList& argv) {
        const QStringList command = session.asUser(argv);
        process.start(command.front(), command.mid(1));
        ASSERT_TRUE(process.waitForStarted());
    }

    // Runs `argv` as the session's user to its end; its standard output.
    QByteArray run(const QStringList& argv, const QByteArray& input = {}) {
        QProcess process;
        start(process, argv);
        process.write(input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(15000)) << argv.join(u' ');
        EXPECT_EQ(process.exitCode(), 0)
            << argv.join(u' ') << ": " << process.readAllStandardError();
        return process.readAllStandardOutput();
    }

    // Whether sway shows a window whose app_id is `appId`.
    bool shown(const QString& appId) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            const QByteArray tree = run({u"swaymsg"_s, u"-t"_s, u"get_tree"_s});
            if (tree.contains("\"app_id\": \"" + appId.toUtf8() + '"'))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    void showKnownPicture() {
        start(window, {QStringLiteral(SHOTLARK_TEST_WINDOW), u"known"_s});
        ASSERT_TRUE(shown(u"shotlark-test-window"_s));
        QThread::msleep(200); // its first frame
    }

    void startPointer() {
        start(pointer, {QStringLiteral(SHOTLARK_TEST_POINTER), QString::number(width),
                        QString::number(height)});
        ASSERT_TRUE(pointer.waitForReadyRead(10000));
        ASSERT_EQ(pointer.readLine().trimmed(), "ready");
    }

    void drive(const QByteArray& command) {
        pointer.write(command + '\n');
        ASSERT_TRUE(pointer.waitForReadyRead(5000)) << command;
        EXPECT_EQ(pointer.readLine().trimmed(), "ok");
        QThread::msleep(30);
    }

    void drag(QPoint from, QPoint to) {
        drive(u"move %1 %2"_s.arg(from.x()).arg(from.y()).toUtf8());
        drive("press");
        const QPoint middle = (from + to) / 2;
        drive(u"move %1 %2"_s.arg(middle.x()).arg(middle.y()).toUtf8());
        drive(u"move %1 %2"_s.arg(to.x()).arg(to.y()).toUtf8());
        drive("release");
    }

    void click(QPoint at) {
        drive(u"move %1 %2"_s.arg(at.x()).arg(at.y()).toUtf8());
        drive("press");
        drive("release");
    }

    // Every 37th pixel of `shot` that differs from the known picture at `origin` (by more than
    // the rounding of a pointer sprite's transparent pixels blended over it).
    static int wrongKnownPixels(const QImage& shot, QPoint origin) {
        int wrong = 0;
        for (int y = 0; y < shot.height(); y += 37) {
            for (int x = 0; x < shot.width(); x += 37) {
                const QColor got = shot.pixelColor(x, y);
                const QColor want = knownPixel(origin.x() + x, origin.y() + y, width, height);
                wrong += std::abs(got.red() - want.red()) > 2 ||
                         std::abs(got.green() - want.green()) > 2 ||
                         std::abs(got.blue() - want.blue()) > 2;
            }
        }
        return wrong;
    }

    bool withPortals = true; // set before SetUp
    WaylandSession session;
    QProcess window, pointer;
};

} // namespace shotlark::test
