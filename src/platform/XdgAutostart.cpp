#include "platform/LinuxBackends.h"

#include "store/AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace shotlark::platform {

QString XdgAutostart::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/shotlark.desktop");
}

bool XdgAutostart::isEnabled() const {
    if (!QFile::exists(entryPath()))
        return false;
    const QSettings entry(entryPath(), QSettings::IniFormat);
    return !entry.value(QStringLiteral("Desktop Entry/Hidden"), false).toBool();
}

bool XdgAutostart::setEnabled(bool enabled) {
    if (!enabled)
        return !QFile::exists(entryPath()) || QFile::remove(entryPath());
    if (!QDir().mkpath(QFileInfo(entryPath()).absolutePath()))
        return false;
    QString program = QCoreApplication::applicationFilePath();
    program.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""));
    const QString entry =
        QStringLiteral(
            "[Desktop Entry]\nType=Application\nName=Shotlark\n"
            "Comment=Screenshots and recordings to your media server\n"
            "Exec=\"%1\"\nIcon=shotlark\nTerminal=false\nX-GNOME-Autostart-enabled=true\n")
            .arg(program);
    return writeFileAtomically(entryPath(), entry.toUtf8(), 0644);
}

} // namespace shotlark::platform
