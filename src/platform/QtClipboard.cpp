#include "platform/LinuxBackends.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace shotlark::platform {

namespace {

// Wayland gives the clipboard to the focused window only: a tray app has none, unless one of its
// windows is in front right now.
bool reachesOtherApps() {
    return !QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) ||
           QGuiApplication::focusWindow() != nullptr;
}

} // namespace

QCoro::Task<bool> QtClipboard::setText(QString text) {
    QGuiApplication::clipboard()->setText(text);
    co_return reachesOtherApps();
}

QCoro::Task<bool> QtClipboard::setImage(QByteArray png) {
    // The file's own bytes: nothing is decoded or encoded again, whatever asks for it.
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), png);
    QGuiApplication::clipboard()->setMimeData(data);
    co_return reachesOtherApps();
}

QCoro::Task<std::unique_ptr<QMimeData>> QtClipboard::contents() {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        co_return std::unique_ptr<QMimeData>();
    auto copy = std::make_unique<QMimeData>();
    if (data->hasUrls())
        copy->setUrls(data->urls());
    if (data->hasImage())
        copy->setImageData(data->imageData());
    if (data->hasText())
        copy->setText(data->text());
    const QString gnomeFiles = QStringLiteral("x-special/gnome-copied-files");
    if (data->hasFormat(gnomeFiles))
        copy->setData(gnomeFiles, data->data(gnomeFiles));
    co_return copy;
}

} // namespace shotlark::platform
