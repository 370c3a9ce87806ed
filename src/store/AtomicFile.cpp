#include "store/AtomicFile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shotlark {

namespace {
bool fail(QString* error, const QString& what, const QString& path) {
    if (error)
        *error = what + path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

// The sibling being written; removed unless it was renamed into place.
struct Sibling {
    QByteArray name;
    int fd = -1;
    bool renamed = false;
    ~Sibling() {
        const int saved = errno;
        if (fd >= 0)
            ::close(fd);
        if (!renamed)
            ::unlink(name.constData());
        errno = saved;
    }
};
} // namespace

bool writeFileAtomically(const QString& path, const QByteArray& data, mode_t mode, QString* error) {
    const QByteArray target = QFile::encodeName(path);
    Sibling sibling{target + ".XXXXXX"};
    // mkstemp creates the file 0600 and exclusively, so no one else can open it meanwhile.
    sibling.fd = ::mkstemp(sibling.name.data());
    if (sibling.fd < 0) {
        sibling.renamed = true; // nothing was created
        return fail(error, QStringLiteral("Couldn't create a file beside "), path);
    }
    const char* bytes = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(sibling.fd, bytes, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(error, QStringLiteral("Couldn't write "), path);
        bytes += n;
        left -= n;
    }
    if (::fchmod(sibling.fd, mode) != 0 || ::fsync(sibling.fd) != 0)
        return fail(error, QStringLiteral("Couldn't write "), path);
    const int fd = sibling.fd;
    sibling.fd = -1;
    if (::close(fd) != 0)
        return fail(error, QStringLiteral("Couldn't write "), path);
    if (::rename(sibling.name.constData(), target.constData()) != 0)
        return fail(error, QStringLiteral("Couldn't replace "), path);
    sibling.renamed = true;

    // Make the rename itself durable.
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace shotlark
