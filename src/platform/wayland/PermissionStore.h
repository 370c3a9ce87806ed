#pragma once

#include "platform/Services.h"

#include <memory>

namespace shotlark::platform::wayland {

// GNOME's answer to "Allow Applications to Take Screenshots?", in the portals' permission store
// (table "screenshot", entry "screenshot", for apps outside a sandbox: the app id ""), where the
// portal keeps it after the user's Allow or Deny.
class PermissionStoreScreenshots : public ScreenshotPermission {
public:
    // Null outside GNOME: other desktops ask nothing, or ask on each picture.
    static std::unique_ptr<PermissionStoreScreenshots> forThisDesktop();

    QCoro::Task<State> state() override;
    QCoro::Task<bool> grant() override;
};

} // namespace shotlark::platform::wayland
