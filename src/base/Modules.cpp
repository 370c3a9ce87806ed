#include "base/Modules.h"

#include <QCoreApplication>
#include <QHash>
#include <QMutex>

namespace shotlark {

QLibrary& shotlarkModule(const QString& name) {
    static QMutex mutex;
    static QHash<QString, QLibrary*> loaded; // kept for the whole run
    const QMutexLocker lock(&mutex);
    QLibrary*& library = loaded[name];
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
