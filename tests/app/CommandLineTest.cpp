// The programs from a terminal without any graphical session (ssh, a TTY, a service).
#include <gtest/gtest.h>

#include <QProcess>
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
        const Outcome help = runWithoutDisplay(program, {QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0) << program.toStdString() << help.err.toStdString();
        EXPECT_TRUE(help.out.contains(QStringLiteral("sage:"))) << help.out.toStdString();
        EXPECT_TRUE(help.err.isEmpty()) << help.err.toStdString();

        const Outcome version = runWithoutDisplay(program, {QStringLiteral("--version")});
        EXPECT_EQ(version.exitCode, 0);
        EXPECT_TRUE(version.out.endsWith(QStringLiteral(" " SHOTLARK_VERSION "\n")))
            << version.out.toStdString();
    }
    // The app's help lists the actions this build can run.
    const Outcome help = runWithoutDisplay(app, {QStringLiteral("-h")});
    EXPECT_TRUE(help.out.contains(QStringLiteral("--action NAME")));
    EXPECT_TRUE(help.out.contains(QStringLiteral("region, window, screen")));
}

TEST(CommandLine, WithoutAnyDisplayOneLineAndAFailure) {
    const QString expected =
        QStringLiteral(" needs a graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set\n");
    for (const QStringList& arguments :
         {QStringList{}, QStringList{QStringLiteral("/tmp/some file.png")},
          QStringList{QStringLiteral("--action"), QStringLiteral("region")}}) {
        const Outcome run = runWithoutDisplay(app, arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, QStringLiteral("Shotlark") + expected);
    }
    const Outcome capture =
        runWithoutDisplay(tool, {QStringLiteral("-x"), QStringLiteral("-D"), QStringLiteral("1"),
                                 QStringLiteral("/tmp/never.png")});
    EXPECT_EQ(capture.exitCode, 1);
    EXPECT_EQ(capture.err, QStringLiteral("shotlark-screencapture") + expected);

    // Mistakes in the command are told as such, display or not.
    const Outcome unknown =
        runWithoutDisplay(app, {QStringLiteral("--action"), QStringLiteral("teleport")});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.startsWith(QStringLiteral("shotlark: unknown action \"teleport\"")));
    EXPECT_EQ(runWithoutDisplay(app, {QStringLiteral("--frobnicate")}).exitCode, 2);
}
