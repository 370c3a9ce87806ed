// The Debian packages as the release command makes them: control data and contents read with
// dpkg-deb, and the unpacked programs run. Nothing is installed on the system.
#include "support/Isolation.h"
#include "support/Prelude.h"
#include "support/Programs.h"

namespace {

QString field(const QString& deb, const QString& name) {
    return run({u"dpkg-deb"_s, u"-f"_s, deb, name}).out.trimmed();
}

// Every package a Depends line names must be one Debian has: of alternatives, at least one.
// (One apt-cache call for all: each takes a second or two.)
QStringList unknownDependencies(const QString& depends) {
    QList<QStringList> groups;
    QStringList names;
    for (const QString& group : depends.split(u',', Qt::SkipEmptyParts)) {
        QStringList alternatives;
        for (const QString& alternative : group.split(u'|'))
            alternatives << alternative.trimmed().section(u' ', 0, 0);
        groups << alternatives;
        names << alternatives;
    }
    const QStringList known = run(QStringList{u"apt-cache"_s, u"policy"_s} + names)
                                  .out.split(u'\n')
                                  .filter(QRegularExpression(u"^\\S+:$"_s));
    QStringList unknown;
    for (const QStringList& alternatives : groups) {
        bool found = false;
        for (const QString& name : alternatives)
            found |= known.contains(name + u':');
        if (!found)
            unknown << alternatives.join(u" | "_s);
    }
    return unknown;
}

} // namespace

TEST(PackageTest, AppAndServerPackagesHoldWhatTheyNeed) {
    const QString out = testHome() + u"/packages"_s;
    const Ran made = run({u"cpack"_s, u"-G"_s, u"DEB"_s, u"--config"_s,
                          QStringLiteral(SHOTLARK_CPACK_CONFIG), u"-B"_s, out},
                         300000);
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    const QString version = QStringLiteral(SHOTLARK_VERSION);
    const QString app = out + u"/shotlark_"_s + version + u"_amd64.deb"_s;
    const QString server = out + u"/shotlark-server_"_s + version + u"_amd64.deb"_s;
    ASSERT_TRUE(QFile::exists(app)) << made.out;
    ASSERT_TRUE(QFile::exists(server)) << made.out;

    EXPECT_EQ(field(app, u"Package"_s), u"shotlark"_s);
    EXPECT_EQ(field(app, u"Version"_s), version);
    const QString appDepends = field(app, u"Depends"_s);
    for (const char* needed : {"libqt6widgets6", "qt6-qpa-plugins", "libtesseract5",
                               "tesseract-ocr-eng", "libavcodec59", "libcurl4"})
        EXPECT_TRUE(appDepends.contains(QLatin1String(needed))) << needed;
    EXPECT_EQ(unknownDependencies(appDepends), QStringList());
    const QString serverDepends = field(server, u"Depends"_s);
    EXPECT_TRUE(serverDepends.contains(u"libavfilter"_s));
    EXPECT_EQ(unknownDependencies(serverDepends), QStringList());

    const QString appFiles = run({u"dpkg-deb"_s, u"-c"_s, app}).out;
    for (const char* path :
         {"./usr/bin/shotlark", "./usr/bin/shotlark-screencapture",
          "./usr/lib/shotlark/libshotlark-main.so", "./usr/lib/shotlark/libshotlark-recording.so",
          "./usr/lib/shotlark/libshotlark-ocr.so", "./usr/lib/shotlark/libshotlark-archive.so",
          "./usr/share/applications/shotlark.desktop",
          "./usr/share/icons/hicolor/scalable/apps/shotlark.svg"})
        EXPECT_TRUE(appFiles.contains(QLatin1String(path))) << path;
    const QString serverFiles = run({u"dpkg-deb"_s, u"-c"_s, server}).out;
    EXPECT_TRUE(serverFiles.contains(u"./usr/bin/shotlark-server"_s));
    EXPECT_TRUE(serverFiles.contains(u"./usr/lib/systemd/system/shotlark-server.service"_s));
    EXPECT_TRUE(serverFiles.contains(u"./usr/share/doc/shotlark-server/examples/Caddyfile"_s));
    EXPECT_FALSE(serverFiles.contains(u".wants/"_s)) << "the service is not enabled";

    // Unpacked beside the test, not installed.
    const QString root = testHome() + u"/root"_s;
    ASSERT_EQ(run({u"dpkg-deb"_s, u"-x"_s, app, root}).exitCode, 0);
    ASSERT_EQ(run({u"dpkg-deb"_s, u"-x"_s, server, root}).exitCode, 0);
    const QByteArray entry = readTestFile(root + u"/usr/share/applications/shotlark.desktop"_s);
    EXPECT_TRUE(entry.contains("\nExec=shotlark %U\n"));
    EXPECT_TRUE(entry.contains("x-scheme-handler/shotlark;"));
    const Ran appVersion = run({root + u"/usr/bin/shotlark"_s, u"--version"_s});
    EXPECT_EQ(appVersion.exitCode, 0);
    EXPECT_EQ(appVersion.out.trimmed(), u"shotlark "_s + version);
    const Ran serverHelp = run({root + u"/usr/bin/shotlark-server"_s, u"--help"_s});
    EXPECT_EQ(serverHelp.exitCode, 0) << serverHelp.out << serverHelp.err;
    EXPECT_TRUE(serverHelp.out.contains(u"--data"_s)) << serverHelp.out;
    const QByteArray unit =
        readTestFile(root + u"/usr/lib/systemd/system/shotlark-server.service"_s);
    EXPECT_TRUE(
        unit.contains("ExecStart=/usr/bin/shotlark-server --data /var/lib/shotlark-server"));
    EXPECT_TRUE(unit.contains("User=shotlark-server"));

    // The server's user is made on installation; nothing enables or starts the service.
    const QString control = testHome() + u"/control"_s;
    ASSERT_EQ(run({u"dpkg-deb"_s, u"-e"_s, server, control}).exitCode, 0);
    const QByteArray postinst = readTestFile(control + u"/postinst"_s);
    EXPECT_TRUE(postinst.contains("adduser --system"));
    EXPECT_FALSE(postinst.contains("enable"));
    EXPECT_FALSE(postinst.contains("systemctl"));
}
