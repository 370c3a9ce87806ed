#include "WaylandSession.h"

#include "Isolation.h"
#include "support/Prelude.h"

#include <cstdio>
#include <cstdlib>

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

bool WaylandSession::prepare(const QString& desktop) {
    switchUser_ = ::geteuid() == 0;
    char pattern[] = "/tmp/shotlark-wayland-XXXXXX";
    if (!::mkdtemp(pattern))
        return false;
    root_ = QString::fromLocal8Bit(pattern);
    runtime_ = root_ + u"/run"_s;
    const QString home = root_ + u"/home"_s;
    QDir().mkpath(runtime_);
    QDir().mkpath(home);
    QFile::setPermissions(runtime_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ::setenv("XDG_RUNTIME_DIR", qPrintable(runtime_), 1);
    ::setenv("XDG_CONFIG_HOME", qPrintable(root_ + u"/config"_s), 1);
    ::setenv("HOME", qPrintable(home), 1);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
        ::setenv(name, qPrintable(home + u'/' + QString::fromLatin1(name)), 1);
    ::setenv("XDG_CURRENT_DESKTOP", qPrintable(desktop), 1);
    ::setenv("XDG_SESSION_TYPE", "wayland", 1);
    ::setenv("QT_QPA_PLATFORM", "wayland", 1);
    // Directories the session's user can't enter make programs it starts fail to be found.
    ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "XDG_DESKTOP_PORTAL_DIR"})
        ::unsetenv(name);
    return true;
}

bool WaylandSession::startBus() {
    // The bus starts with the session's whole environment, which services it starts inherit.
    // Under root it runs as the session's user but lets root in too: the test itself serves the
    // tray host and the notifications there.
    QStringList busCommand = {u"dbus-daemon"_s, u"--session"_s, u"--nofork"_s,
                              u"--print-address={fd}"_s};
    if (switchUser_) {
        const QString busConfig = root_ + u"/bus.conf"_s;
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
        busCommand[1] = u"--config-file="_s + busConfig;
    }
    QString address;
    auto bus = startAndReadLine(busCommand, &address);
    if (!bus) {
        std::fprintf(stderr, "WaylandSession: dbus-daemon did not start\n");
        return false;
    }
    children_.push_back(std::move(bus));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", qPrintable(address), 1);
    return true;
}

bool WaylandSession::startPortals(const QStringList& portalFiles, const QStringList& backends) {
    // The frontend takes the backends listed in the folder it is shown, and looks for them once,
    // as it starts: they come first.
    const QString portals = root_ + u"/portals"_s;
    for (const QString& file : portalFiles)
        writeFile(portals + u'/' + file,
                  readTestFile(u"/usr/share/xdg-desktop-portal/portals/"_s + file));
    giveToUser(portals);
    ::setenv("XDG_DESKTOP_PORTAL_DIR", qPrintable(portals), 1);
    for (const QString& backend : backends) {
        QString program = u"/usr/libexec/xdg-desktop-portal-"_s + backend;
        if (!QFile::exists(program)) // KDE's lives elsewhere
            program = u"/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-"_s + backend;
        ::setenv("GDK_BACKEND", "wayland", 1);
        children_.push_back(ChildProcess::start(asUser({program})));
        ::unsetenv("GDK_BACKEND");
        if (!waitForName(u"org.freedesktop.impl.portal.desktop."_s + backend)) {
            std::fprintf(stderr, "WaylandSession: the %s portal backend did not start\n",
                         qPrintable(backend));
            return false;
        }
    }
    children_.push_back(ChildProcess::start(asUser({u"/usr/libexec/xdg-desktop-portal"_s})));
    if (!waitForName(u"org.freedesktop.portal.Desktop"_s)) {
        std::fprintf(stderr, "WaylandSession: the portal did not start\n");
        return false;
    }
    return true;
}

bool WaylandSession::start(int width, int height, bool portals) {
    if (!prepare(u"sway"_s))
        return false;
    const QString config = root_ + u"/config"_s;
    writeFile(config + u"/sway/config"_s,
              QStringLiteral("output HEADLESS-1 resolution %1x%2 position 0,0 bg #336699 "
                             "solid_color\nxwayland disable\ndefault_border none\n")
                  .arg(width)
                  .arg(height)
                  .toUtf8());
    writeFile(config + u"/xdg-desktop-portal-wlr/config"_s,
              "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\nmax_fps=30\n");
    giveToUser(root_);
    ::setenv("WLR_BACKENDS", "headless", 1);
    ::setenv("WLR_RENDERER", "pixman", 1);
    ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);

    children_.push_back(
        ChildProcess::start(asUser({u"sway"_s, u"-c"_s, config + u"/sway/config"_s})));
    QString socket;
    const bool up = waitFor([&] {
        const QStringList found = QDir(runtime_).entryList({u"wayland-*"_s}, QDir::System);
        for (const QString& name : found)
            if (!name.endsWith(u".lock"_s))
                socket = name;
        const QStringList ipc = QDir(runtime_).entryList({u"sway-ipc.*"_s}, QDir::System);
        if (!ipc.isEmpty())
            ::setenv("SWAYSOCK", qPrintable(runtime_ + u'/' + ipc.front()), 1);
        return !socket.isEmpty() && !ipc.isEmpty();
    });
    if (!up) {
        std::fprintf(stderr, "WaylandSession: sway did not start\n");
        return false;
    }
    ::setenv("WAYLAND_DISPLAY", qPrintable(socket), 1);
    if (!startBus())
        return false;
    if (!portals)
        return true;
    // The wlr backend gives up without PipeWire, which carries screen casts.
    children_.push_back(ChildProcess::start(asUser({u"pipewire"_s})));
    if (!waitFor([&] { return QFile::exists(runtime_ + u"/pipewire-0"_s); })) {
        std::fprintf(stderr, "WaylandSession: pipewire did not start\n");
        return false;
    }
    return startPortals({u"wlr.portal"_s, u"gtk.portal"_s}, {u"wlr"_s, u"gtk"_s});
}

bool WaylandSession::startGnome(int width, int height, bool withKeyboard) {
    if (!prepare(u"GNOME"_s))
        return false;
    giveToUser(root_);
    ::setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    // gnome-shell wants a system bus (logind, accounts): a private one, with nothing on it.
    QString systemBus;
    auto system = startAndReadLine(asUser({u"dbus-daemon"_s, u"--session"_s, u"--nofork"_s,
                                           u"--address=unix:path="_s + runtime_ + u"/system_bus"_s,
                                           u"--print-address={fd}"_s}),
                                   &systemBus);
    if (!system)
        return false;
    children_.push_back(std::move(system));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", qPrintable(systemBus), 1);
    if (!startBus())
        return false;
    runAsUser({u"gsettings"_s, u"set"_s, u"org.gnome.desktop.interface"_s, u"enable-hot-corners"_s,
               u"false"_s});
    QStringList shell = {u"gnome-shell"_s,       u"--headless"_s,
                         u"--wayland"_s,         u"--no-x11"_s,
                         u"--virtual-monitor"_s, u"%1x%2"_s.arg(width).arg(height)};
    if (withKeyboard) {
        QString display;
        auto x = startAndReadLine({u"Xvfb"_s, u"-displayfd"_s, u"{fd}"_s, u"-ac"_s, u"-screen"_s,
                                   u"0"_s, u"%1x%2x24"_s.arg(width).arg(height)},
                                  &display);
        if (!x)
            return false;
        children_.push_back(std::move(x));
        shell = {u"env"_s,
                 u"DISPLAY=:"_s + display,
                 u"MUTTER_DEBUG_DUMMY_MODE_SPECS=%1x%2"_s.arg(width).arg(height),
                 u"gnome-shell"_s,
                 u"--nested"_s,
                 u"--wayland"_s,
                 u"--no-x11"_s};
    }
    // The shell sometimes hangs at its start (a child it forks locks up): it is started again.
    bool up = false;
    for (int attempt = 0; attempt < 3 && !up; ++attempt) {
        if (attempt > 0)
            children_.pop_back();
        children_.push_back(ChildProcess::start(asUser(shell)));
        up = waitFor([&] { return QFile::exists(runtime_ + u"/wayland-0"_s); }, 20000) &&
             waitFor(
                 [&] {
                     return call({u"-d"_s, u"org.gnome.Shell"_s, u"-o"_s, u"/org/gnome/Shell"_s,
                                  u"-m"_s, u"org.freedesktop.DBus.Properties.Get"_s,
                                  u"org.gnome.Shell"_s, u"ShellVersion"_s})
                         .contains(u'4');
                 },
                 20000);
    }
    if (!up) {
        std::fprintf(stderr, "WaylandSession: gnome-shell did not start\n");
        return false;
    }
    return startServices(u"wayland-0"_s, {u"gnome.portal"_s, u"gtk.portal"_s},
                         {u"gnome"_s, u"gtk"_s});
}

int WaylandSession::runAsUser(const QStringList& argv) const {
    const QStringList command = asUser(argv);
    return QProcess::execute(command.front(), command.mid(1));
}

bool WaylandSession::start(QProcess& process, const QStringList& argv,
                           const QString& errorLog) const {
    const QStringList command = asUser(
        errorLog.isEmpty()
            ? argv
            : QStringList{u"/bin/sh"_s, u"-c"_s, u"exec \"$0\" \"$@\" 2>>\"$LOG\""_s} + argv);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"LOG"_s, errorLog);
    process.setProcessEnvironment(environment);
    process.start(command.front(), command.mid(1));
    return process.waitForStarted();
}

QByteArray WaylandSession::output(const QStringList& argv, const QByteArray& input) const {
    QProcess process;
    if (!start(process, argv))
        return {};
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(15000);
    return process.readAllStandardOutput();
}

bool WaylandSession::startKde(int width, int height) {
    if (!prepare(u"KDE"_s))
        return false;
    ::setenv("KDE_FULL_SESSION", "true", 1);
    ::setenv("KDE_SESSION_VERSION", "5", 1);
    ::setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    // The installed KWin carries a file capability that this sandbox refuses: a plain copy runs.
    const QString kwin = root_ + u"/kwin_wayland"_s;
    if (!QFile::copy(u"/usr/bin/kwin_wayland"_s, kwin))
        return false;
    QFile::setPermissions(kwin, QFile::permissions(kwin) | QFile::ExeOther | QFile::ReadOther);
    // KWin offers its fake input only to programs whose desktop file asks for it: the tests' key
    // presser gets one, in the database KDE looks them up in.
    writeFile(qEnvironmentVariable("XDG_DATA_HOME") + u"/applications/shotlark-test-keys.desktop"_s,
              "[Desktop Entry]\nType=Application\nName=Shotlark test keys\nNoDisplay=true\nExec=" +
                  QByteArray(SHOTLARK_TEST_FAKE_INPUT) +
                  "\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n");
    giveToUser(root_);
    runAsUser({u"kbuildsycoca5"_s, u"--noincremental"_s});
    if (!startBus())
        return false;
    children_.push_back(ChildProcess::start(
        asUser({kwin, u"--virtual"_s, u"--width"_s, QString::number(width), u"--height"_s,
                QString::number(height), u"--socket"_s, u"wayland-k"_s, u"--no-lockscreen"_s})));
    if (!waitFor([&] { return QFile::exists(runtime_ + u"/wayland-k"_s); }, 20000) ||
        !waitForName(u"org.kde.KWin"_s)) {
        std::fprintf(stderr, "WaylandSession: kwin_wayland did not start\n");
        return false;
    }
    return startServices(u"wayland-k"_s, {u"kde.portal"_s}, {u"kde"_s});
}

bool WaylandSession::startServices(const QString& socket, const QStringList& portalFiles,
                                   const QStringList& backends) {
    // What the bus starts on demand (the desktops' own services) must find the display too.
    ::setenv("WAYLAND_DISPLAY", qPrintable(socket), 1);
    runAsUser({u"dbus-update-activation-environment"_s, u"--all"_s});
    children_.push_back(ChildProcess::start(asUser({u"pipewire"_s})));
    if (!waitFor([&] { return QFile::exists(runtime_ + u"/pipewire-0"_s); }))
        return false;
    children_.push_back(ChildProcess::start(asUser({u"wireplumber"_s})));
    return startPortals(portalFiles, backends);
}

QString WaylandSession::call(const QStringList& gdbusArguments) const {
    const QStringList argv =
        asUser(QStringList{u"gdbus"_s, u"call"_s, u"--session"_s, u"--timeout"_s, u"5"_s} +
               gdbusArguments);
    QProcess gdbus;
    gdbus.start(argv.front(), argv.mid(1));
    if (!gdbus.waitForFinished(8000) || gdbus.exitCode() != 0)
        return QString();
    return QString::fromUtf8(gdbus.readAllStandardOutput()).trimmed();
}

WaylandSession::~WaylandSession() {
    while (!children_.empty())
        children_.pop_back();
    if (root_.isEmpty())
        return;
    // The documents portal may have mounted itself in the runtime directory.
    QFile mounts(u"/proc/self/mountinfo"_s);
    const QString documents = runtime_ + u"/doc"_s;
    if (mounts.open(QIODevice::ReadOnly) && mounts.readAll().contains(documents.toUtf8()))
        QProcess::execute(u"fusermount3"_s, {u"-u"_s, u"-z"_s, documents});
    QDir(root_).removeRecursively();
}

QStringList WaylandSession::asUser(const QStringList& argv) const {
    if (!switchUser_)
        return argv;
    return QStringList{u"setpriv"_s, u"--reuid=%1"_s.arg(nobody), u"--regid=%1"_s.arg(nobody),
                       u"--clear-groups"_s} +
           argv;
}

QString WaylandSession::userDirectory(const QString& name) const {
    const QString path = root_ + u'/' + name;
    QDir().mkpath(path);
    giveToUser(path);
    return path;
}

void WaylandSession::giveToUser(const QString& path) const {
    if (switchUser_)
        QProcess::execute(u"chown"_s, {u"-R"_s, u"nobody:nogroup"_s, path});
}

bool WaylandSession::sway(const QString& command) const {
    const QStringList argv = asUser({u"swaymsg"_s, command});
    QProcess swaymsg;
    swaymsg.start(argv.front(), argv.mid(1));
    return swaymsg.waitForFinished(10000) && swaymsg.exitCode() == 0;
}

bool WaylandSession::waitForName(const QString& name) const {
    return waitFor([&] {
        return call({u"-d"_s, u"org.freedesktop.DBus"_s, u"-o"_s, u"/org/freedesktop/DBus"_s,
                     u"-m"_s, u"org.freedesktop.DBus.NameHasOwner"_s, name}) == u"(true,)"_s;
    });
}

} // namespace shotlark::test
