#include "platform/LinuxBackends.h"
#include "platform/RecordingBackends.h"
#include "platform/wayland/DataControlClipboard.h"
#include "platform/wayland/FocusClipboard.h"
#include "platform/wayland/PermissionStore.h"
#include "platform/wayland/PortalShortcuts.h"

#include <QGuiApplication>

namespace shotlark::platform {

Services Services::linuxDesktop() {
    Services services;
    services.sounds = std::make_unique<CanberraSounds>();
    services.dialogs = std::make_unique<QtDialogs>();
    services.opener = std::make_unique<DesktopOpener>();
    services.notifications = std::make_unique<DBusNotifications>();
    services.autostart = std::make_unique<XdgAutostart>();
    const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
    if (wayland) {
        services.hotkeys = wayland::PortalShortcuts::connect();
    } else {
        auto x11 = std::make_unique<XcbHotkeys>();
        if (x11->isAvailable())
            services.hotkeys = std::move(x11);
    }
    if (!services.hotkeys)
        services.hotkeys = std::make_unique<NoGlobalHotkeys>();
    services.recording = std::make_shared<LinuxRecordingBackends>();
    services.players = std::make_unique<MprisPlayers>();
    // A tray app has no focused window: in a Wayland session Qt's clipboard can't be set then.
    if (wayland)
        services.clipboard = wayland::DataControlClipboard::connect();
    if (wayland && !services.clipboard)
        services.clipboard = wayland::FocusClipboard::connect();
    if (!services.clipboard)
        services.clipboard = std::make_unique<QtClipboard>();
    services.tray = std::make_unique<DesktopTrayHost>();
    services.screenshots = wayland::PermissionStoreScreenshots::forThisDesktop();
    return services;
}

} // namespace shotlark::platform
