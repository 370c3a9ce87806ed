#pragma once

#include "ChildProcess.h"
#include "support/Prelude.h"

namespace shotlark::test {

// A private X server (Xvfb) and a private session bus for tests that need a desktop.
// start() points DISPLAY and DBUS_SESSION_BUS_ADDRESS at them; they end with the object.
class DisplaySession {
public:
    ~DisplaySession();
    bool start(int width = 1280, int height = 800);

private:
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> bus_;
    QString display_;
    QString busAddress_;
};

} // namespace shotlark::test
