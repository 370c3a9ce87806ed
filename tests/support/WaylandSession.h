#pragma once

#include "ChildProcess.h"
#include "support/Prelude.h"

namespace shotlark::test {

// A private headless Wayland session: sway on wlroots' headless backend with software
// rendering, a private session bus, and the desktop portals (wlr for screenshots, gtk for the
// access checks the portal frontend wants). start() points this process's environment at it, so
// what the test starts through asUser() runs in that session.
//
// sway refuses to run as root, and the portals refuse clients of another user: under root the
// whole session, and every program of the test in it, runs as "nobody".
class WaylandSession {
public:
    ~WaylandSession();
    // Without `portals`, a session whose desktop offers none.
    bool start(int width = 1280, int height = 720, bool portals = true);
    // Stock GNOME instead of sway: gnome-shell headless on a virtual monitor (it needs a system
    // bus: a private one), PipeWire, and GNOME's own portals. It has no tray and serves the
    // notifications itself. Headless, its seat has no keyboard, and nothing can take the
    // clipboard; `withKeyboard` runs it nested in a private X server instead, whose keyboard it
    // takes for its own.
    bool startGnome(int width = 1280, int height = 720, bool withKeyboard = false);
    // KDE Plasma's KWin instead: on a virtual output, with KDE's portals (global shortcuts).
    bool startKde(int width = 1280, int height = 720);
    // Runs `argv` to its end as the session's user; its exit code.
    int runAsUser(const QStringList& argv) const;
    // Starts `argv` as the session's user in `process`, its standard error appended to
    // `errorLog` when one is named; false when it didn't start.
    bool start(QProcess& process, const QStringList& argv, const QString& errorLog = {}) const;
    // Runs `argv` as the session's user to its end (15 s at most), `input` its standard input;
    // its standard output.
    QByteArray output(const QStringList& argv, const QByteArray& input = {}) const;
    // A D-Bus call as the session's user, through gdbus: its printed answer, empty on failure.
    QString call(const QStringList& gdbusArguments) const;

    // `argv` as the session's user.
    QStringList asUser(const QStringList& argv) const;
    // A new directory of the session's user, for files its programs write.
    QString userDirectory(const QString& name) const;
    // Hands what the test wrote under `path` to the session's user.
    void giveToUser(const QString& path) const;
    // A sway command through its IPC ("for_window ...", "seat ..."); true when it succeeded.
    bool sway(const QString& command) const;

private:
    bool prepare(const QString& desktop);
    bool startBus();
    bool startPortals(const QStringList& portalFiles, const QStringList& backends);
    // A full desktop's: the display for the bus's services, PipeWire with its session manager,
    // the portals.
    bool startServices(const QString& socket, const QStringList& portalFiles,
                       const QStringList& backends);
    bool waitForName(const QString& name) const;

    QString root_, runtime_;
    bool switchUser_ = false;
    std::vector<std::unique_ptr<ChildProcess>> children_; // started in order, ended in reverse
};

} // namespace shotlark::test
