// The programs from a terminal without any graphical session (ssh, a TTY, a service).

#include "support/Prelude.h"
#include <QProcessEnvironment>

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome runWithoutDisplay(const QString& program, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

const QString app = QStringLiteral(SHOTLARK_APP_BINARY);
const QString tool = QStringLiteral(SHOTLARK_CAPTURE_TOOL);

} // namespace

TEST(CommandLine, HelpAndVersionNeedNoDisplay) {
    for (const QString& program : {app, tool}) {
        const Outcome help = runWithoutDisplay(program, {u"--help"_s});
        EXPECT_EQ(help.exitCode, 0) << program << help.err;
        EXPECT_TRUE(help.out.contains(u"sage:"_s)) << help.out;
        EXPECT_TRUE(help.err.isEmpty()) << help.err;

        const Outcome version = runWithoutDisplay(program, {u"--version"_s});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_TRUE(version.out.endsWith(QStringLiteral(" " SHOTLARK_VERSION "\n"))) << version.out;
    }
    // The app's help lists the actions this build can run.
    const Outcome help = runWithoutDisplay(app, {u"-h"_s});
    EXPECT_TRUE(help.out.contains(u"--action NAME"_s));
    EXPECT_TRUE(help.out.contains(u"region, annotate, window, screen"_s));
}

TEST(CommandLine, WithoutAnyDisplayOneLineAndAFailure) {
    const QString expected =
        u" needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set\n"_s;
    for (const QStringList& arguments : {QStringList{}, QStringList{u"/tmp/some file.png"_s},
                                         QStringList{u"--action"_s, u"region"_s}}) {
        const Outcome run = runWithoutDisplay(app, arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, u"Shotlark"_s + expected);
    }
    const Outcome capture =
        runWithoutDisplay(tool, {u"-x"_s, u"-D"_s, u"1"_s, u"/tmp/never.png"_s});
    EXPECT_EQ(capture.exitCode, 1);
    EXPECT_EQ(capture.err, u"shotlark-screencapture"_s + expected);

    // Mistakes in the command are told as such, display or not.
    const Outcome unknown = runWithoutDisplay(app, {u"--action"_s, u"teleport"_s});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.startsWith(u"shotlark: unknown action \"teleport\""_s));
    EXPECT_EQ(runWithoutDisplay(app, {u"--frobnicate"_s}).exitCode, 2);
}
