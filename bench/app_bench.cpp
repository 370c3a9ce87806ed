// The tray app on a private Xvfb display and session bus: time from start to the tray icon being
// registered, idle memory and CPU (with wake-ups) over a quiet period, and the time from
// `shotlark FILE` to the link on the clipboard for a 1 MiB file against a loopback server.
//   app_bench [IDLE_SECONDS]     (default 60)
#include "ProcStats.h"
#include "store/Config.h"
#include "support/ChildProcess.h"
#include "support/DisplaySession.h"
#include "support/TestDesktopServices.h"
#include "support/TestHttpServer.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

using namespace shotlark;

namespace {

const QString appBinary = QStringLiteral(SHOTLARK_APP_BINARY);

// User plus system CPU time of the process, in clock ticks.
qint64 cpuTicks(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime, stime
}

// Every thread's voluntary switches (each is a wait that ended), by thread id.
QHash<QString, qint64> wakeups(qint64 pid) {
    QHash<QString, qint64> counts;
    const QStringList threads =
        QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& tid : threads)
        counts.insert(tid,
                      bench::procField(pid, "voluntary_ctxt_switches:",
                                       QStringLiteral("task/") + tid + QStringLiteral("/status"))
                          .toLongLong());
    return counts;
}

// Wake-ups between two samples, over the threads alive at both (a pool thread that retires
// in between takes its count with it).
qint64 wakeupsBetween(const QHash<QString, qint64>& before, const QHash<QString, qint64>& after) {
    qint64 total = 0;
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        total += it.value() - before.value(it.key(), 0);
    return total;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    for (const char* name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        ::setenv(
            name,
            QFile::encodeName(home.path() + QLatin1Char('/') + QLatin1String(name)).constData(), 1);
    for (const char* name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
        QDir().mkpath(QFile::decodeName(qgetenv(name)));
    QFile::setPermissions(QFile::decodeName(qgetenv("XDG_RUNTIME_DIR")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    test::DisplaySession desktop;
    if (!desktop.start()) {
        std::fprintf(stderr, "no private display\n");
        return 1;
    }
    QApplication app(argc, argv);
    const int idleSeconds = app.arguments().value(1, QStringLiteral("60")).toInt();

    test::TestNotificationServer notifications;
    test::TestTrayHost tray;
    notifications.registerOnBus();
    tray.registerOnBus();
    test::TestHttpServer server;
    server.setHandler([](const test::RecordedRequest& request) -> test::CannedResponse {
        if (request.path() == "/api/upload")
            return {
                200,
                R"({"id":"b1","url":"http://m/u/b1","raw_url":"http://m/r/b1","thumbnail_url":"http://m/t/b1",)"
                R"("deletion_url":"http://m/d/b1","name":"payload.bin","size":1048576})"};
        return {200, R"({"enabled":[]})"};
    });
    Config::shared().setString(keys::server, server.url());
    Config::shared().setToken(QStringLiteral("slk_bench"));

    QElapsedTimer timer;
    timer.start();
    auto running = test::ChildProcess::start({appBinary});
    if (!QTest::qWaitFor([&] { return !tray.itemService().isEmpty(); }, 30000)) {
        std::fprintf(stderr, "the tray icon never appeared\n");
        return 1;
    }
    const double readyMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    const qint64 pid = running->pid();

    QTest::qWait(2000); // let start-up work (feature refresh) settle
    const qint64 ticksBefore = cpuTicks(pid);
    const QHash<QString, qint64> wakeupsBefore = wakeups(pid);
    QTest::qWait(idleSeconds * 1000);
    const double cpuSeconds = static_cast<double>(cpuTicks(pid) - ticksBefore) /
                              static_cast<double>(::sysconf(_SC_CLK_TCK));
    const qint64 idleWakeups = wakeupsBetween(wakeupsBefore, wakeups(pid));
    const QByteArray rss = bench::procField(pid, "VmRSS:");

    const QString file = home.path() + QStringLiteral("/payload.bin");
    {
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write(QByteArray(1 << 20, 'p'));
    }
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QElapsedTimer upload;
    upload.start();
    QProcess::startDetached(appBinary, {file});
    const bool copied = QTest::qWaitFor(
        [&] { return QGuiApplication::clipboard()->text() == QStringLiteral("http://m/u/b1"); },
        30000);
    const double uploadMs = static_cast<double>(upload.nsecsElapsed()) / 1e6;

    std::printf("shotlark tray app on Xvfb\n");
    std::printf("  start to tray ready:    %.0f ms\n", readyMs);
    std::printf("  idle RSS:               %s\n", rss.constData());
    std::printf("  idle over %d s:         %.2f s CPU, %lld wake-ups (%.2f/s)\n", idleSeconds,
                cpuSeconds, idleWakeups, static_cast<double>(idleWakeups) / idleSeconds);
    if (copied)
        std::printf("  shotlark FILE (1 MiB) to link on clipboard: %.0f ms\n", uploadMs);
    else
        std::printf("  shotlark FILE: the link never reached the clipboard\n");
    return 0;
}
