#include "platform/LinuxBackends.h"
#include "platform/RecordingBackends.h"

namespace shotlark::platform {

Services Services::linuxDesktop() {
    Services services;
    services.sounds = std::make_unique<CanberraSounds>();
    services.dialogs = std::make_unique<QtDialogs>();
    services.opener = std::make_unique<DesktopOpener>();
    services.notifications = std::make_unique<DBusNotifications>();
    services.autostart = std::make_unique<XdgAutostart>();
    auto x11 = std::make_unique<XcbHotkeys>();
    if (x11->isAvailable())
        services.hotkeys = std::move(x11);
    else
        services.hotkeys = std::make_unique<NoGlobalHotkeys>();
    services.recording = std::make_shared<LinuxRecordingBackends>();
    services.players = std::make_unique<MprisPlayers>();
    return services;
}

} // namespace shotlark::platform
