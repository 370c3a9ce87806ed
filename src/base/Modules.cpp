#include "base/Modules.h"

#include <QCoreApplication>
#include <QHash>
#include <QMutex>

namespace shotlark {

QLibrary& shotlarkModule(const QString& name) {
    static QMutex mutex;
    // Kept for the whole run, never destroyed: modules are not unloaded before the process ends.
    static auto* loaded = new QHash<QString, QLibrary*>;
    const QMutexLocker lock(&mutex);
    QLibrary*& library = (*loaded)[name];
    if (library)
        return *library;
    library = new QLibrary;
    library->setLoadHints(QLibrary::PreventUnloadHint);
    const QString file = QStringLiteral("libshotlark-%1.so").arg(name);
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {dir + QStringLiteral("/../lib/shotlark/") + file, dir + QLatin1Char('/') + file}) {
        library->setFileName(candidate);
        if (library->load())
            break;
    }
    return *library;
}

} // namespace shotlark
