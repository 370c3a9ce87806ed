// The Debian packages as the release command makes them: control data and contents read with
// dpkg-deb, and the unpacked programs run. Nothing is installed on the system.
#include "support/Isolation.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

using namespace shotlark::test;

namespace {

struct Ran {
    int code = -1;
    QString out;
};

Ran run(const QString& program, const QStringList& arguments, int ms = 300000) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(ms);
    return {finished ? process.exitCode() : -1, QString::fromUtf8(process.readAll()).trimmed()};
}

QString field(const QString& deb, const QString& name) {
    return run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), deb, name}).out;
}

// Every package a Depends line names must be one Debian has: of alternatives, at least one.
// (One apt-cache call for all: each takes a second or two.)
QStringList unknownDependencies(const QString& depends) {
    QList<QStringList> groups;
    QStringList names;
    for (const QString& group : depends.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QStringList alternatives;
        for (const QString& alternative : group.split(QLatin1Char('|')))
            alternatives << alternative.trimmed().section(QLatin1Char(' '), 0, 0);
        groups << alternatives;
        names << alternatives;
    }
    const QStringList known =
        run(QStringLiteral("apt-cache"), QStringList{QStringLiteral("policy")} + names)
            .out.split(QLatin1Char('\n'))
            .filter(QRegularExpression(QStringLiteral("^\\S+:$")));
    QStringList unknown;
    for (const QStringList& alternatives : groups) {
        bool found = false;
        for (const QString& name : alternatives)
            found |= known.contains(name + QLatin1Char(':'));
        if (!found)
            unknown << alternatives.join(QStringLiteral(" | "));
    }
    return unknown;
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

TEST(PackageTest, AppAndServerPackagesHoldWhatTheyNeed) {
    const QString out = testHome() + QStringLiteral("/packages");
    const Ran made = run(QStringLiteral("cpack"),
                         {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                          QStringLiteral(SHOTLARK_CPACK_CONFIG), QStringLiteral("-B"), out});
    ASSERT_EQ(made.code, 0) << made.out.toStdString();
    const QString version = QStringLiteral(SHOTLARK_VERSION);
    const QString app = out + QStringLiteral("/shotlark_") + version + QStringLiteral("_amd64.deb");
    const QString server =
        out + QStringLiteral("/shotlark-server_") + version + QStringLiteral("_amd64.deb");
    ASSERT_TRUE(QFile::exists(app)) << made.out.toStdString();
    ASSERT_TRUE(QFile::exists(server)) << made.out.toStdString();

    EXPECT_EQ(field(app, QStringLiteral("Package")), QStringLiteral("shotlark"));
    EXPECT_EQ(field(app, QStringLiteral("Version")), version);
    const QString appDepends = field(app, QStringLiteral("Depends"));
    for (const char* needed : {"libqt6widgets6", "qt6-qpa-plugins", "libtesseract5",
                               "tesseract-ocr-eng", "libavcodec59", "libcurl4"})
        EXPECT_TRUE(appDepends.contains(QLatin1String(needed))) << needed;
    EXPECT_EQ(unknownDependencies(appDepends), QStringList());
    const QString serverDepends = field(server, QStringLiteral("Depends"));
    EXPECT_TRUE(serverDepends.contains(QStringLiteral("libavfilter")));
    EXPECT_EQ(unknownDependencies(serverDepends), QStringList());

    const QString appFiles = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), app}).out;
    for (const char* path : {"./usr/bin/shotlark", "./usr/bin/shotlark-screencapture",
                             "./usr/lib/shotlark/libshotlark-recording.so",
                             "./usr/share/applications/shotlark.desktop",
                             "./usr/share/icons/hicolor/scalable/apps/shotlark.svg"})
        EXPECT_TRUE(appFiles.contains(QLatin1String(path))) << path;
    const QString serverFiles = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), server}).out;
    EXPECT_TRUE(serverFiles.contains(QStringLiteral("./usr/bin/shotlark-server")));
    EXPECT_TRUE(
        serverFiles.contains(QStringLiteral("./usr/lib/systemd/system/shotlark-server.service")));
    EXPECT_FALSE(serverFiles.contains(QStringLiteral(".wants/"))) << "the service is not enabled";

    // Unpacked beside the test, not installed.
    const QString root = testHome() + QStringLiteral("/root");
    ASSERT_EQ(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), app, root}).code, 0);
    ASSERT_EQ(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), server, root}).code, 0);
    const QByteArray entry =
        bytesOf(root + QStringLiteral("/usr/share/applications/shotlark.desktop"));
    EXPECT_TRUE(entry.contains("\nExec=shotlark %U\n"));
    EXPECT_TRUE(entry.contains("x-scheme-handler/shotlark;"));
    const Ran appVersion =
        run(root + QStringLiteral("/usr/bin/shotlark"), {QStringLiteral("--version")});
    EXPECT_EQ(appVersion.code, 0);
    EXPECT_EQ(appVersion.out, QStringLiteral("shotlark ") + version);
    const Ran serverHelp =
        run(root + QStringLiteral("/usr/bin/shotlark-server"), {QStringLiteral("--help")});
    EXPECT_EQ(serverHelp.code, 0) << serverHelp.out.toStdString();
    EXPECT_TRUE(serverHelp.out.contains(QStringLiteral("--data"))) << serverHelp.out.toStdString();
    const QByteArray unit =
        bytesOf(root + QStringLiteral("/usr/lib/systemd/system/shotlark-server.service"));
    EXPECT_TRUE(
        unit.contains("ExecStart=/usr/bin/shotlark-server --data /var/lib/shotlark-server"));
    EXPECT_TRUE(unit.contains("User=shotlark-server"));

    // The server's user is made on installation; nothing enables or starts the service.
    const QString control = testHome() + QStringLiteral("/control");
    ASSERT_EQ(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), server, control}).code, 0);
    const QByteArray postinst = bytesOf(control + QStringLiteral("/postinst"));
    EXPECT_TRUE(postinst.contains("adduser --system"));
    EXPECT_FALSE(postinst.contains("enable"));
    EXPECT_FALSE(postinst.contains("systemctl"));
}
