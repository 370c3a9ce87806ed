#include "WaylandSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace shotlark::test {

namespace {

constexpr uid_t nobody = 65534;

bool writeFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

bool waitFor(const std::function<bool()>& ready, int ms = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!ready()) {
        if (clock.elapsed() > ms)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

bool WaylandSession::start(int width, int height, bool portals,
                           const QStringList& screenCastBackend) {
    switchUser_ = ::geteuid() == 0;
    char pattern[] = "/tmp/shotlark-wayland-XXXXXX";
    if (!::mkdtemp(pattern))
        return false;
    root_ = QString::fromLocal8Bit(pattern);
    runtime_ = root_ + QStringLiteral("/run");
    const QString config = root_ + QStringLiteral("/config");
    const QString home = root_ + QStringLiteral("/home");
    QDir().mkpath(runtime_);
    QDir().mkpath(home);
    QFile::setPermissions(runtime_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(config + QStringLiteral("/sway/config"),
              QStringLiteral("output HEADLESS-1 resolution %1x%2 position 0,0 bg #336699 "
                             "solid_color\nxwayland disable\ndefault_border none\n")
                  .arg(width)
                  .arg(height)
                  .toUtf8());
    writeFile(config + QStringLiteral("/xdg-desktop-portal-wlr/config"),
              "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\nmax_fps=30\n");
    if (switchUser_ &&
        QProcess::execute(QStringLiteral("chown"),
                          {QStringLiteral("-R"), QStringLiteral("nobody:nogroup"), root_}) != 0)
        return false;

    ::setenv("XDG_RUNTIME_DIR", qPrintable(runtime_), 1);
    ::setenv("XDG_CONFIG_HOME", qPrintable(config), 1);
    ::setenv("HOME", qPrintable(home), 1);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        ::setenv(name, qPrintable(home + QLatin1Char('/') + QString::fromLatin1(name)), 1);
    ::setenv("XDG_CURRENT_DESKTOP", "sway", 1);
    ::setenv("XDG_SESSION_TYPE", "wayland", 1);
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    ::setenv("WLR_BACKENDS", "headless", 1);
    ::setenv("WLR_RENDERER", "pixman", 1);
    ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
    // Directories the session's user can't enter make programs it starts fail to be found.
    ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("SWAYSOCK");

    children_.push_back(ChildProcess::start(asUser(
        {QStringLiteral("sway"), QStringLiteral("-c"), config + QStringLiteral("/sway/config")})));
    QString socket;
    const bool up = waitFor([&] {
        const QStringList found =
            QDir(runtime_).entryList({QStringLiteral("wayland-*")}, QDir::System);
        for (const QString& name : found)
            if (!name.endsWith(QStringLiteral(".lock")))
                socket = name;
        const QStringList ipc =
            QDir(runtime_).entryList({QStringLiteral("sway-ipc.*")}, QDir::System);
        if (!ipc.isEmpty())
            ::setenv("SWAYSOCK", qPrintable(runtime_ + QLatin1Char('/') + ipc.front()), 1);
        return !socket.isEmpty() && !ipc.isEmpty();
    });
    if (!up) {
        std::fprintf(stderr, "WaylandSession: sway did not start\n");
        return false;
    }
    ::setenv("WAYLAND_DISPLAY", qPrintable(socket), 1);

    // The bus starts with the session's whole environment, which services it starts inherit.
    // Under root it runs as the session's user but lets root in too: the test itself serves the
    // tray host and the notifications there.
    QStringList busCommand = {QStringLiteral("dbus-daemon"), QStringLiteral("--session"),
                              QStringLiteral("--nofork"), QStringLiteral("--print-address={fd}")};
    if (switchUser_) {
        const QString busConfig = root_ + QStringLiteral("/bus.conf");
        writeFile(
            busConfig,
            R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <user>nobody</user>
  <keep_umask/>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <standard_session_servicedirs/>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
        busCommand[1] = QStringLiteral("--config-file=") + busConfig;
    }
    QString address;
    auto bus = startAndReadLine(busCommand, &address);
    if (!bus) {
        std::fprintf(stderr, "WaylandSession: dbus-daemon did not start\n");
        return false;
    }
    children_.push_back(std::move(bus));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", qPrintable(address), 1);

    if (!portals)
        return true;
    // The wlr backend gives up without PipeWire, which carries screen casts.
    children_.push_back(ChildProcess::start(asUser({QStringLiteral("pipewire")})));
    if (!waitFor([&] { return QFile::exists(runtime_ + QStringLiteral("/pipewire-0")); })) {
        std::fprintf(stderr, "WaylandSession: pipewire did not start\n");
        return false;
    }
    if (!screenCastBackend.isEmpty()) {
        // The frontend takes the first backend that offers an interface: the wlr one keeps only
        // its screenshots.
        const QString portals = root_ + QStringLiteral("/portals");
        writeFile(portals + QStringLiteral("/wlr.portal"),
                  "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.wlr\n"
                  "Interfaces=org.freedesktop.impl.portal.Screenshot;\nUseIn=sway;\n");
        QFile::copy(QStringLiteral("/usr/share/xdg-desktop-portal/portals/gtk.portal"),
                    portals + QStringLiteral("/gtk.portal"));
        writeFile(portals + QStringLiteral("/shotlarktest.portal"),
                  "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.shotlarktest\n"
                  "Interfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=sway;\n");
        giveToUser(portals);
        ::setenv("XDG_DESKTOP_PORTAL_DIR", qPrintable(portals), 1);
        // Without a session manager nothing links a consumer to the stream.
        children_.push_back(ChildProcess::start(asUser({QStringLiteral("wireplumber")})));
        children_.push_back(ChildProcess::start(asUser(screenCastBackend)));
        screenCast_ = children_.back()->pid();
        if (!waitForName(QStringLiteral("org.freedesktop.impl.portal.desktop.shotlarktest"))) {
            std::fprintf(stderr, "WaylandSession: the test ScreenCast backend did not start\n");
            return false;
        }
    } else {
        ::unsetenv("XDG_DESKTOP_PORTAL_DIR");
    }
    // The frontend looks for its backends once, as it starts: they come first.
    children_.push_back(
        ChildProcess::start(asUser({QStringLiteral("/usr/libexec/xdg-desktop-portal-wlr")})));
    ::setenv("GDK_BACKEND", "wayland", 1);
    children_.push_back(
        ChildProcess::start(asUser({QStringLiteral("/usr/libexec/xdg-desktop-portal-gtk")})));
    ::unsetenv("GDK_BACKEND");
    for (const char* backend : {"wlr", "gtk"}) {
        if (!waitForName(QStringLiteral("org.freedesktop.impl.portal.desktop.") +
                         QLatin1String(backend))) {
            std::fprintf(stderr, "WaylandSession: the %s portal backend did not start\n", backend);
            return false;
        }
    }
    children_.push_back(
        ChildProcess::start(asUser({QStringLiteral("/usr/libexec/xdg-desktop-portal")})));
    if (!waitForName(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "WaylandSession: the portal did not start\n");
        return false;
    }
    return true;
}

WaylandSession::~WaylandSession() {
    while (!children_.empty())
        children_.pop_back();
    if (root_.isEmpty())
        return;
    // The documents portal may have mounted itself in the runtime directory.
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    const QString documents = runtime_ + QStringLiteral("/doc");
    if (mounts.open(QIODevice::ReadOnly) && mounts.readAll().contains(documents.toUtf8()))
        QProcess::execute(QStringLiteral("fusermount3"),
                          {QStringLiteral("-u"), QStringLiteral("-z"), documents});
    QDir(root_).removeRecursively();
}

QStringList WaylandSession::asUser(const QStringList& argv) const {
    if (!switchUser_)
        return argv;
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(nobody),
                       QStringLiteral("--regid=%1").arg(nobody), QStringLiteral("--clear-groups")} +
           argv;
}

QString WaylandSession::userDirectory(const QString& name) const {
    const QString path = root_ + QLatin1Char('/') + name;
    QDir().mkpath(path);
    giveToUser(path);
    return path;
}

void WaylandSession::giveToUser(const QString& path) const {
    if (switchUser_)
        QProcess::execute(QStringLiteral("chown"),
                          {QStringLiteral("-R"), QStringLiteral("nobody:nogroup"), path});
}

bool WaylandSession::sway(const QString& command) const {
    const QStringList argv = asUser({QStringLiteral("swaymsg"), command});
    QProcess swaymsg;
    swaymsg.start(argv.front(), argv.mid(1));
    return swaymsg.waitForFinished(10000) && swaymsg.exitCode() == 0;
}

bool WaylandSession::waitForName(const QString& name) const {
    const QStringList argv =
        asUser({QStringLiteral("gdbus"), QStringLiteral("call"), QStringLiteral("--session"),
                QStringLiteral("-d"), QStringLiteral("org.freedesktop.DBus"), QStringLiteral("-o"),
                QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("-m"),
                QStringLiteral("org.freedesktop.DBus.NameHasOwner"), name});
    return waitFor([&] {
        QProcess gdbus;
        gdbus.start(argv.front(), argv.mid(1));
        return gdbus.waitForFinished(5000) && gdbus.readAllStandardOutput().trimmed() == "(true,)";
    });
}

} // namespace shotlark::test
