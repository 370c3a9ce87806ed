#include "update/Installation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

namespace shotlark::installation {

namespace {

const QString entryName = QStringLiteral("shotlark.desktop");
const QString schemeType = QStringLiteral("x-scheme-handler/shotlark");

QString applicationsDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/applications");
}

// Desktop entries take a quoted string for Exec; backslash, quote, backtick and dollar are
// escaped inside it (and the backslash once more for the key's own escaping).
QString quotedExec(const QString& program) {
    QString quoted;
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\\'))
            quoted += QStringLiteral("\\\\\\");
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

// Sets the default handler of shotlark:// links in mimeapps.list, as xdg-mime would.
bool registerLinkHandler() {
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/mimeapps.list");
    QFile file(path);
    QStringList lines;
    if (file.open(QIODevice::ReadOnly))
        lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    file.close();
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    const QString line = schemeType + QLatin1Char('=') + entryName;
    qsizetype section = lines.indexOf(QStringLiteral("[Default Applications]"));
    if (section < 0) {
        lines << QString() << QStringLiteral("[Default Applications]") << line;
    } else {
        qsizetype at = section + 1;
        bool replaced = false;
        for (; at < lines.size() && !lines[at].startsWith(QLatin1Char('[')); ++at) {
            if (lines[at].startsWith(schemeType + QLatin1Char('='))) {
                lines[at] = line;
                replaced = true;
            }
        }
        if (!replaced)
            lines.insert(section + 1, line);
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    return writeFile(path, (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

bool removeTree(const QString& path) {
    QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isSymLink() || !info.isDir())
        return QFile::remove(path);
    return QDir(path).removeRecursively();
}

} // namespace

Where current() {
    const QString bin = QCoreApplication::applicationDirPath();
    const QString root = QDir::cleanPath(bin + QStringLiteral("/.."));
    if (root.endsWith(QStringLiteral(".app")) &&
        QFileInfo(root + QStringLiteral("/MANIFEST")).isFile())
        return {Kind::Bundle, root};
    // dpkg lists what it installed; a program in /usr from the shotlark package is its.
    if (bin.startsWith(QStringLiteral("/usr/")) &&
        QFileInfo::exists(QStringLiteral("/var/lib/dpkg/info/shotlark.list")))
        return {Kind::Package, QString()};
    return {Kind::Build, QString()};
}

bool desktopEntryPointsAt(const QString& root) {
    QFile file(applicationsDir() + QLatin1Char('/') + entryName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString expected = QStringLiteral("Exec=") +
                             quotedExec(root + QStringLiteral("/bin/shotlark")) +
                             QStringLiteral(" %U");
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')).contains(expected);
}

QString installDesktopEntry(const QString& root) {
    const QString program = root + QStringLiteral("/bin/shotlark");
    const QString icon = root + QStringLiteral("/share/icons/hicolor/scalable/apps/shotlark.svg");
    QFile shipped(root + QStringLiteral("/share/applications/") + entryName);
    if (!shipped.open(QIODevice::ReadOnly))
        return QStringLiteral("The bundle has no desktop entry: %1").arg(shipped.fileName());
    QStringList lines = QString::fromUtf8(shipped.readAll()).split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.startsWith(QStringLiteral("Exec=")))
            line = QStringLiteral("Exec=") + quotedExec(program) + QStringLiteral(" %U");
        else if (line.startsWith(QStringLiteral("Icon=")))
            line = QStringLiteral("Icon=") + icon;
        else if (line.startsWith(QStringLiteral("TryExec=")))
            line = QStringLiteral("TryExec=") + program;
    }
    if (!QDir().mkpath(applicationsDir()))
        return QStringLiteral("Couldn't create %1").arg(applicationsDir());
    if (!writeFile(applicationsDir() + QLatin1Char('/') + entryName,
                   lines.join(QLatin1Char('\n')).toUtf8()))
        return QStringLiteral("Couldn't write %1/%2").arg(applicationsDir(), entryName);
    if (!registerLinkHandler())
        return QStringLiteral("Couldn't register the shotlark:// link handler");
    // Menus and "Open With" lists read a cache where the desktop keeps one.
    const QString updater =
        QStandardPaths::findExecutable(QStringLiteral("update-desktop-database"));
    if (!updater.isEmpty())
        QProcess::startDetached(updater, {applicationsDir()});
    // Custom uploader files (*.sxcu) get their type, so that opening one comes here.
    const QString mime = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/mime");
    QFile types(root + QStringLiteral("/share/mime/packages/shotlark.xml"));
    const QString mimeUpdater =
        QStandardPaths::findExecutable(QStringLiteral("update-mime-database"));
    if (types.open(QIODevice::ReadOnly) && QDir().mkpath(mime + QStringLiteral("/packages")) &&
        writeFile(mime + QStringLiteral("/packages/shotlark.xml"), types.readAll()) &&
        !mimeUpdater.isEmpty())
        QProcess::startDetached(mimeUpdater, {mime});
    return QString();
}

QString nextPathOf(const QString& root) {
    return root + QStringLiteral(".next");
}

QString oldPathOf(const QString& root) {
    return root + QStringLiteral(".old");
}

int swapInto(const QString& target) {
    const QString self =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    if (QDir::cleanPath(target) + QStringLiteral(".next") != self) {
        std::fprintf(stderr, "shotlark: --swap-into runs from %s.next only\n", qPrintable(target));
        return 2;
    }
    const QByteArray from = QFile::encodeName(self), to = QFile::encodeName(target);
    // One step: at every moment the bundle's path holds a whole bundle, old or new.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS) {
        std::fprintf(stderr, "shotlark: can't swap %s: %s\n", to.constData(), std::strerror(errno));
        return 1;
    }
    // Two steps, for file systems without the exchange: the old bundle is set aside, put back
    // if the new one can't be moved in, and removed by the script or sweepAfterUpdate.
    const QByteArray aside = QFile::encodeName(oldPathOf(target));
    if (::rename(to.constData(), aside.constData()) != 0 ||
        ::rename(from.constData(), to.constData()) != 0) {
        std::fprintf(stderr, "shotlark: can't swap %s: %s\n", to.constData(), std::strerror(errno));
        ::rename(aside.constData(), to.constData());
        return 1;
    }
    return 0;
}

QString lockPathOf(const QString& root) {
    return root + QStringLiteral(".lock");
}

UpdateLock::UpdateLock(const QString& root) {
    const QByteArray path = QFile::encodeName(lockPathOf(root));
    fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

UpdateLock::~UpdateLock() {
    if (fd_ >= 0)
        ::close(fd_); // closing lets the lock go
}

void sweepAfterUpdate(const QString& root) {
    // A script at work is copying into .next or about to remove .old: those are its own.
    const UpdateLock lock(root);
    if (!lock.isHeld())
        return;
    removeTree(nextPathOf(root));
    removeTree(oldPathOf(root));
}

QString replacementScript(qint64 pid) {
    // $1: the running bundle; $2: the verified new one in the private temporary folder. The new
    // one is copied beside the old (a rename can't cross file systems), its own program makes
    // the swap, and whatever happens a bundle is started again.
    // The lock is waited for (another script, a starting app's sweep) and let go before the
    // new version starts, so that its own sweep can take it.
    return QStringLiteral(
               "while kill -0 %1 2>/dev/null; do sleep 0.2; done\n"
               "exec 9>>\"$1.lock\"\n"
               "flock 9\n"
               "rm -rf \"$1.next\" \"$1.old\"\n"
               "if cp -a \"$2\" \"$1.next\" && \"$1.next/bin/shotlark\" --swap-into \"$1\"; "
               "then rm -rf \"$1.next\" \"$1.old\"; else rm -rf \"$1.next\"; fi\n"
               "rm -rf \"$(dirname \"$2\")\"\n"
               "exec 9>&-\n"
               "exec \"$1/bin/shotlark\" </dev/null >/dev/null 2>&1")
        .arg(pid);
}

} // namespace shotlark::installation
