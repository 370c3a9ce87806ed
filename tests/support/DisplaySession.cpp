#include "DisplaySession.h"

#include <QFile>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace shotlark::test {

bool DisplaySession::start(int width, int height) {
    QString number;
    xvfb_ = startAndReadLine({QStringLiteral("Xvfb"), QStringLiteral("-displayfd"),
                              QStringLiteral("{fd}"), QStringLiteral("-noreset"),
                              QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                              QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("%1x%2x24").arg(width).arg(height)},
                             &number);
    if (!xvfb_) {
        std::fprintf(stderr, "DisplaySession: Xvfb did not start\n");
        return false;
    }
    display_ = QLatin1Char(':') + number;

    bus_ = startAndReadLine({QStringLiteral("dbus-daemon"), QStringLiteral("--session"),
                             QStringLiteral("--nofork"), QStringLiteral("--print-address={fd}")},
                            &busAddress_);
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
