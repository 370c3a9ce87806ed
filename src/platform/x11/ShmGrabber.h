#pragma once

#include <QImage>
#include <QList>
#include <QRect>

#include <memory>

namespace shotlark::platform::x11 {

// Grabs rectangles of the X root window through shared-memory segments that are kept between
// grabs (under a millisecond for a full HD screen). Use from one thread at a time.
class ShmGrabber {
public:
    // On Qt's own X connection (the GUI thread), or, with `display` set, on a connection of its
    // own (for a worker thread); `buffers` segments taken in turn. Check isValid().
    explicit ShmGrabber(const char* display = nullptr, bool ownConnection = false, int buffers = 1);
    ~ShmGrabber();
    ShmGrabber(const ShmGrabber&) = delete;
    ShmGrabber& operator=(const ShmGrabber&) = delete;

    bool isValid() const;
    // `rect` of the root window as 32-bit BGRx (QImage::Format_RGB32). The image shares its
    // segment: it is valid until `buffers` more grabs were made. Null on failure (the connection
    // broke, the rectangle is off the root window).
    QImage grab(const QRect& rect);
    // Draws the pointer's current image into `image`, which shows `rect` of the root window.
    void drawCursor(QImage& image, const QRect& rect);
    // False once the X connection has failed.
    bool isConnected() const;
    // The monitors' rectangles of the root window in Qt's order (the primary one first, then
    // RandR's), or the whole root window where RandR knows none.
    QList<QRect> monitors() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What every screen (in Qt's order) shows right now, in device pixels, as independent images.
// Falls back to Qt's own grab without MIT-SHM.
QList<QImage> freezeScreens();
// The same on a connection of its own, without Qt's GUI: a whole-screen capture needs no fonts,
// input methods or platform plugin. Empty when the X server can't be reached or has no MIT-SHM.
QList<QImage> freezeScreensWithoutQt();

} // namespace shotlark::platform::x11
