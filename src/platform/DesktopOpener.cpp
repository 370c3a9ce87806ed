#include "platform/LinuxBackends.h"

#include <QDesktopServices>
#include <QFile>

namespace shotlark::platform {

void DesktopOpener::open(const QUrl& url) {
    const QByteArray log = qgetenv("SHOTLARK_OPEN_LOG");
    if (!log.isEmpty()) {
        QFile file(QFile::decodeName(log));
        if (file.open(QIODevice::Append | QIODevice::Unbuffered))
            file.write(url.toEncoded() + '\n');
        return;
    }
    QDesktopServices::openUrl(url);
}

} // namespace shotlark::platform
