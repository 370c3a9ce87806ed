#pragma once

// Figures of a running process from /proc, for the benchmarks.
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace shotlark::bench {

// The value of `field` ("VmHWM:") in /proc/PID/FILE; PID 0 is this process.
inline QByteArray procField(qint64 pid, const char* field,
                            const QString& file = QStringLiteral("status")) {
    QFile status(QStringLiteral("/proc/%1/%2")
                     .arg(pid ? QString::number(pid) : QStringLiteral("self"), file));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed();
    }
    return {};
}

// A memory figure in KiB ("VmRSS:", "VmHWM:"); -1 when unknown.
inline qint64 procKiB(qint64 pid, const char* field) {
    const QByteArray value = procField(pid, field);
    return value.isEmpty() ? -1 : value.split(' ').value(0).toLongLong();
}

} // namespace shotlark::bench
