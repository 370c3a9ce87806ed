#pragma once

#include <QImage>
#include <QList>
#include <QString>

namespace shotlark::platform::wayland {

// What the desktop's Screenshot portal gave back.
struct PortalShot {
    QImage image;         // null when it failed
    bool missing = false; // the session has no screenshot portal to ask
    QString error;        // why there is no picture
};

// How shotlark-screencapture ends when the session has no screenshot portal (EX_UNAVAILABLE),
// so that the app can say what to install.
inline constexpr int noScreenshotPortalExit = 69;

// Asks the portal for a picture of the whole desktop, without a dialog, and waits for its answer
// in a local event loop (the tool has nothing else to do meanwhile). The portal's file is removed
// once read: the picture is ours to write where we were asked to.
PortalShot takePortalScreenshot();

// The whole-desktop picture cut into one picture per screen, in Qt's screen order.
QList<QImage> splitByScreen(const QImage& desktop);

} // namespace shotlark::platform::wayland
