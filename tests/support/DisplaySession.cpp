#include "DisplaySession.h"
#include "support/Prelude.h"

#include <cstdio>
#include <cstdlib>

namespace shotlark::test {

bool DisplaySession::start(int width, int height) {
    QString number;
    xvfb_ = startAndReadLine({u"Xvfb"_s, u"-displayfd"_s, u"{fd}"_s, u"-noreset"_s, u"-nolisten"_s,
                              u"tcp"_s, u"-screen"_s, u"0"_s, u"%1x%2x24"_s.arg(width).arg(height)},
                             &number);
    if (!xvfb_) {
        std::fprintf(stderr, "DisplaySession: Xvfb did not start\n");
        return false;
    }
    display_ = u':' + number;

    bus_ = startAndReadLine(
        {u"dbus-daemon"_s, u"--session"_s, u"--nofork"_s, u"--print-address={fd}"_s}, &busAddress_);
    if (!bus_) {
        std::fprintf(stderr, "DisplaySession: dbus-daemon did not start\n");
        return false;
    }

    ::setenv("DISPLAY", qPrintable(display_), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", qPrintable(busAddress_), 1);
    ::setenv("XDG_SESSION_TYPE", "x11", 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    return true;
}

DisplaySession::~DisplaySession() {
    bus_.reset();
    xvfb_.reset();
}

} // namespace shotlark::test
