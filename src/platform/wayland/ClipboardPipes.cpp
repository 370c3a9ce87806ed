#include "platform/wayland/ClipboardPipes.h"

#include "base/Worker.h"

#include <QImage>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace shotlark::platform::wayland {

const QStringList textTypes = {QStringLiteral("text/plain;charset=utf-8"),
                               QStringLiteral("UTF8_STRING"), QStringLiteral("text/plain"),
                               QStringLiteral("STRING"), QStringLiteral("TEXT")};
namespace {

const QStringList imageTypes = {QStringLiteral("image/png"), QStringLiteral("image/jpeg"),
                                QStringLiteral("image/webp"), QStringLiteral("image/bmp"),
                                QStringLiteral("image/gif")};

constexpr qint64 largestRead = qint64(256) * 1024 * 1024;

// Everything a pipe brings until its writer closes it; empty when the writer stays silent for
// seconds or sends more than anyone copies.
QByteArray readAll(int fd) {
    QByteArray data;
    char buffer[65536];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 5000) <= 0)
            break;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ::close(fd);
            return data;
        }
        data.append(buffer, got);
        if (data.size() > largestRead)
            break;
    }
    ::close(fd);
    return {};
}

// The pasting client may close its end early (EPIPE): it left, and the rest is dropped.
void writeAll(int fd, const QByteArray& bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t put = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break; // EPIPE included
        done += put;
    }
    ::close(fd);
}

} // namespace

std::unique_ptr<QSocketNotifier> serveOnMainLoop(wl_display* display) {
    auto notifier =
        std::make_unique<QSocketNotifier>(wl_display_get_fd(display), QSocketNotifier::Read);
    QSocketNotifier* raw = notifier.get();
    QObject::connect(raw, &QSocketNotifier::activated, raw, [display, raw] {
        while (wl_display_prepare_read(display) != 0)
            wl_display_dispatch_pending(display);
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
            raw->setEnabled(false);
            return;
        }
        wl_display_flush(display);
    });
    return notifier;
}

void sendDetached(int fd, const QByteArray& bytes) {
    std::thread(writeAll, fd, bytes).detach();
}

QCoro::Task<std::unique_ptr<QMimeData>> readOffer(QStringList offered,
                                                  std::function<void(const char*, int)> receive,
                                                  std::function<void()> flush) {
    // Each wanted type is asked for at once, then read while the owner writes.
    auto ask = [&](const QString& type) -> int {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return -1;
        receive(type.toUtf8().constData(), fds[1]);
        ::close(fds[1]);
        return fds[0];
    };
    auto firstOf = [&](const QStringList& wanted) {
        for (const QString& type : wanted)
            if (offered.contains(type))
                return type;
        return QString();
    };
    const QString files = offered.contains(QStringLiteral("text/uri-list"))
                              ? QStringLiteral("text/uri-list")
                              : firstOf({QStringLiteral("x-special/gnome-copied-files")});
    const QString image = firstOf(imageTypes);
    const QString text = firstOf(textTypes);
    const int filesFd = files.isEmpty() ? -1 : ask(files);
    const int imageFd = image.isEmpty() ? -1 : ask(image);
    const int textFd = text.isEmpty() ? -1 : ask(text);
    flush();
    struct Read {
        QByteArray files;
        QImage image;
        QString text;
    };
    auto reading = onWorker([filesFd, imageFd, textFd] {
        auto read = [](int fd) {
            return fd < 0 ? QByteArray() : readAll(fd);
        };
        Read got;
        got.files = read(filesFd);
        const QByteArray imageData = read(imageFd);
        if (!imageData.isEmpty())
            got.image = QImage::fromData(imageData);
        got.text = QString::fromUtf8(read(textFd));
        return got;
    });
    const Read got = co_await std::move(reading);
    auto data = std::make_unique<QMimeData>();
    if (!got.files.isEmpty())
        data->setData(files, got.files);
    if (!got.image.isNull())
        data->setImageData(got.image);
    if (!got.text.isEmpty())
        data->setText(got.text);
    if (data->formats().isEmpty())
        co_return std::unique_ptr<QMimeData>();
    co_return data;
}

} // namespace shotlark::platform::wayland
