#include "store/Paths.h"

#include "base/Handover.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace shotlark::paths {

namespace {
const QString appDirName = QStringLiteral("Shotlark");

QString under(QStandardPaths::StandardLocation location, const QString& tail) {
    return QStandardPaths::writableLocation(location) + QLatin1Char('/') + tail;
}
} // namespace

QString configDir() {
    return under(QStandardPaths::GenericConfigLocation, appDirName);
}

QString dataDir() {
    return under(QStandardPaths::GenericDataLocation, appDirName);
}

QString privateTempDir() {
    const QString dir =
        under(QStandardPaths::GenericCacheLocation, appDirName + QStringLiteral("/tmp"));
    ensurePrivateDir(dir);
    return dir;
}

bool ensurePrivateDir(const QString& path) {
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    if (native.isEmpty())
        return false;
    // Walk down from the root so that every component we create is private from the start.
    for (qsizetype slash = native.indexOf('/', 1);; slash = native.indexOf('/', slash + 1)) {
        const QByteArray prefix = slash < 0 ? native : native.left(slash);
        if (::mkdir(prefix.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash < 0)
            break;
    }
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0)
        return false;
    return true;
}

bool ensureOwnedPrivateDir(const QString& path) {
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    if (native.isEmpty() || (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST))
        return false;
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    return (st.st_mode & 077) == 0 || ::chmod(native.constData(), 0700) == 0;
}

bool isOwnedPrivateDir(const QString& path) {
    return handover::isOwnedPrivateDir(QFile::encodeName(path).toStdString());
}

QString uuidString() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString temporaryPath(const QString& prefix) {
    return privateTempDir() + QLatin1Char('/') + prefix + uuidString();
}

QString newCaptureDir() {
    const QString dir = privateTempDir() + QLatin1Char('/') + uuidString();
    return ensurePrivateDir(dir) ? dir : QString();
}

void removeTemporary(const QString& file) {
    QFile::remove(file);
    const QString parent = QFileInfo(file).absolutePath();
    if (QFileInfo(parent).absolutePath() == QDir::cleanPath(privateTempDir()))
        QDir().rmdir(parent); // only succeeds when empty
}

} // namespace shotlark::paths
