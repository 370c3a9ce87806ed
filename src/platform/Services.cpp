#include "platform/LinuxBackends.h"

namespace shotlark::platform {

Services Services::linuxDesktop() {
    Services services;
    services.sounds = std::make_unique<CanberraSounds>();
    services.dialogs = std::make_unique<QtDialogs>();
    services.opener = std::make_unique<DesktopOpener>();
    services.notifications = std::make_unique<DBusNotifications>();
    services.autostart = std::make_unique<XdgAutostart>();
    return services;
}

} // namespace shotlark::platform
