#pragma once

#include <QByteArray>
#include <QMimeData>
#include <QSocketNotifier>
#include <QStringList>
#include <qcoro/qcorotask.h>
#include <wayland-client.h>

#include <functional>
#include <memory>

namespace shotlark::platform::wayland {

// What Wayland clipboards share, whichever protocol carries them: the types offered for text,
// and the pipes the data goes through.
extern const QStringList textTypes;

// A listener struct is an array of handler pointers in the order of the interface's events.
template <typename Listener> void listen(wl_proxy* proxy, const Listener& listener, void* data) {
    wl_proxy_add_listener(
        proxy, reinterpret_cast<void (**)(void)>(const_cast<Listener*>(&listener)), data);
}

// Serves a connection of its own on the main thread's event loop: reads what the compositor
// sent, runs the handlers, sends what they asked; stops when the compositor is gone.
std::unique_ptr<QSocketNotifier> serveOnMainLoop(wl_display* display);

// Sends `bytes` to a reader on a thread of its own, so a slow reader can't hold up the app; a
// reader that leaves early (EPIPE) gets no more.
void sendDetached(int fd, const QByteArray& bytes);

// Reads files, a picture and text from an offer of the `offered` types: `receive` asks its
// owner to write one type into a pipe, `flush` sends the asks. Null when nothing useful came.
QCoro::Task<std::unique_ptr<QMimeData>> readOffer(QStringList offered,
                                                  std::function<void(const char*, int)> receive,
                                                  std::function<void()> flush);

} // namespace shotlark::platform::wayland
