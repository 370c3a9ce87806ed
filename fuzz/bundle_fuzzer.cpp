// Update archives as a server might send them, unpacked into a fresh folder (at most 16 MiB).
#include "update/Bundle.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir work;
    const QString zip = work.path() + QStringLiteral("/update.zip");
    QFile out(zip);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) !=
            static_cast<qint64>(size))
        std::abort();
    out.close();
    const QString into = work.path() + QStringLiteral("/into");
    QDir(into).removeRecursively();
    QDir().mkpath(into);
    QString detail;
    shotlark::bundle::unpackArchive(zip, into, &detail, 16 << 20);
    // Nothing may appear beside the folder it was unpacked into.
    if (QDir(work.path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
            .size() != 2)
        std::abort();
    return 0;
}
