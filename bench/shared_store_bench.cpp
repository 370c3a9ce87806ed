// Upload throughput of the reference server on its own folder (SQLite and files) and on
// PostgreSQL + S3-compatible storage (as tests/support/shared-stores.sh starts them: PostgreSQL
// 15 on a Unix socket, s3rver on loopback), through one server and through two sharing them
// (the clients split between them). Files of 1 MiB and of 256 MiB, sent by concurrent curl
// clients; then one 1 GiB upload to S3 with the server's peak resident memory. The CPU seconds
// each process spent show what bounds a round.
//   shared_store_bench [CLIENTS]    (default 4)
#include "ProcStats.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace shotlark::bench;

namespace {

const QString serverBinary = QStringLiteral(SHOTLARK_SERVER_BINARY);
const QString storesScript = QStringLiteral(SHOTLARK_SHARED_STORES_SCRIPT);

QString makeFile(const QString& path, qint64 mib) {
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    QByteArray chunk(1 << 20, 'x');
    for (qint64 i = 0; i < mib; ++i) {
        chunk[0] = static_cast<char>(i);
        out.write(chunk);
    }
    return path;
}

// CPU seconds (user + system) a process and its threads spent so far.
double cpuSeconds(qint64 pid) {
    const QList<QByteArray> fields = procField(pid, "", QStringLiteral("stat")).split(' ');
    // After "(comm)": state is field 3; utime and stime are fields 14 and 15.
    if (fields.size() < 15)
        return 0;
    return (fields[13].toDouble() + fields[14].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds of every process whose command line starts with `program`, or names it as a
// path ("/usr/lib/postgresql/15/bin/postgres", "postgres: bench [local] idle").
double cpuOf(const QString& program) {
    double total = 0;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (pid.toLongLong() <= 0 || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray words = cmdline.readAll();
        const QByteArray first = words.left(words.indexOf('\0'));
        const QByteArray name = program.toUtf8();
        if (first.startsWith(name) || first.endsWith("/" + name) ||
            (name == "s3rver" && words.contains("s3rver")))
            total += cpuSeconds(pid.toLongLong());
    }
    return total;
}

struct Stores {
    QString name;
    QStringList options; // none: the server's folder
};

struct Servers {
    std::vector<std::unique_ptr<QProcess>> processes;
    QStringList urls;
};

Servers startServers(int count, const QString& work, const Stores& stores, const QString& tag) {
    Servers servers;
    for (int i = 0; i < count; ++i) {
        auto process = std::make_unique<QProcess>();
        process->start(serverBinary,
                       QStringList{QStringLiteral("--data"),
                                   work + QStringLiteral("/%1-%2").arg(tag).arg(i),
                                   QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                   QStringLiteral("--max-upload-mib"), QStringLiteral("2048")} +
                           stores.options);
        if (!process->waitForReadyRead(20000)) {
            std::fprintf(stderr, "a server did not start: %s\n",
                         process->readAllStandardError().constData());
            std::exit(1);
        }
        const QByteArray line = process->readLine().trimmed();
        servers.urls << QString::fromUtf8(line.mid(line.lastIndexOf(' ') + 1));
        servers.processes.push_back(std::move(process));
    }
    return servers;
}

struct Figures {
    double seconds = 0;
    int failed = 0;
};

// `clients` curl processes at once, client i on server i % servers, each sending `file`
// `times` times over one connection.
Figures load(const QStringList& urls, const QByteArray& token, const QString& file, int clients,
             int times) {
    std::vector<std::unique_ptr<QProcess>> running;
    QElapsedTimer clock;
    clock.start();
    for (int c = 0; c < clients; ++c) {
        QStringList arguments{QStringLiteral("-s"), QStringLiteral("-o"),
                              QStringLiteral("/dev/null"), QStringLiteral("-w"),
                              QStringLiteral("%{http_code}\\n")};
        for (int t = 0; t < times; ++t) {
            if (t > 0)
                arguments << QStringLiteral("--next") << QStringLiteral("-s")
                          << QStringLiteral("-o") << QStringLiteral("/dev/null")
                          << QStringLiteral("-w") << QStringLiteral("%{http_code}\\n");
            arguments << QStringLiteral("-H") << QStringLiteral("Authorization: Bearer ") + token
                      << QStringLiteral("-F") << QStringLiteral("file=@") + file
                      << urls[c % urls.size()] + QStringLiteral("/api/upload");
        }
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral("curl"), arguments);
        running.push_back(std::move(process));
    }
    Figures figures;
    for (auto& process : running) {
        process->waitForFinished(-1);
        for (const QByteArray& status : process->readAllStandardOutput().split('\n'))
            figures.failed += !status.isEmpty() && status != "200";
    }
    figures.seconds = clock.elapsed() / 1000.0;
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int clients = app.arguments().value(1, QStringLiteral("4")).toInt();
    QTemporaryDir work;
    const QString storesDir = work.path() + QStringLiteral("/stores");
    if (QProcess::execute(storesScript, {QStringLiteral("start"), storesDir}) != 0) {
        std::fprintf(stderr, "the shared stores did not start\n");
        return 1;
    }
    QMap<QString, QString> env;
    QFile envFile(storesDir + QStringLiteral("/env"));
    envFile.open(QIODevice::ReadOnly);
    for (const QByteArray& line : envFile.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            env[QString::fromUtf8(line.left(equals))] = QString::fromUtf8(line.mid(equals + 1));
    }
    qputenv("AWS_ACCESS_KEY_ID", env.value(QStringLiteral("AWS_ACCESS_KEY_ID")).toUtf8());
    qputenv("AWS_SECRET_ACCESS_KEY", env.value(QStringLiteral("AWS_SECRET_ACCESS_KEY")).toUtf8());
    QProcess::execute(QStringLiteral("/usr/lib/postgresql/15/bin/createdb"),
                      {QStringLiteral("-h"), env.value(QStringLiteral("SHOTLARK_TEST_PG_SOCKET")),
                       QStringLiteral("-U"), QStringLiteral("shotlark"), QStringLiteral("bench")});
    const QString database = QStringLiteral("postgresql://shotlark@/bench?host=%1")
                                 .arg(env.value(QStringLiteral("SHOTLARK_TEST_PG_SOCKET")));
    const Stores folder{QStringLiteral("SQLite + folder"), {}};
    // The rows' share of the cost: PostgreSQL with the files still in the server's folder.
    const Stores rowsOnly{QStringLiteral("PostgreSQL+fold"),
                          {QStringLiteral("--database"), database}};
    const Stores shared{QStringLiteral("PostgreSQL + S3"),
                        {QStringLiteral("--database"),
                         QStringLiteral("postgresql://shotlark@/bench?host=%1")
                             .arg(env.value(QStringLiteral("SHOTLARK_TEST_PG_SOCKET"))),
                         QStringLiteral("--storage"),
                         QStringLiteral("s3://shotlark?endpoint=%1&prefix=bench")
                             .arg(env.value(QStringLiteral("SHOTLARK_TEST_S3_ENDPOINT")))}};

    const QString small = makeFile(work.path() + QStringLiteral("/1mib.bin"), 1);
    const QString large = makeFile(work.path() + QStringLiteral("/256mib.bin"), 256);
    std::printf("%d clients, 2 cores shared by clients, servers, PostgreSQL and s3rver\n", clients);
    std::printf("%-16s %-8s %-8s %9s %10s %9s   CPU s: %s\n", "stores", "servers", "file",
                "uploads/s", "MiB/s", "vs folder", "servers / postgres / s3rver");
    struct Setup {
        const Stores* stores;
        int servers;
    };
    const std::vector<Setup> setups{{&folder, 1}, {&rowsOnly, 1}, {&shared, 1}, {&shared, 2}};
    const std::vector<std::pair<QString, int>> rounds{{small, 40}, {large, 1}};
    QMap<QString, double> baseline;
    int tag = 0;
    for (const Setup& setup : setups) {
        QProcess create;
        create.start(serverBinary,
                     QStringList{QStringLiteral("--data"),
                                 work.path() + QStringLiteral("/s%1-0").arg(tag),
                                 QStringLiteral("--create-user"), QStringLiteral("bench")} +
                         setup.stores->options);
        create.waitForFinished();
        const QByteArray token = create.readAllStandardOutput().trimmed();
        Servers servers = startServers(setup.servers, work.path(), *setup.stores,
                                       QStringLiteral("s%1").arg(tag++));
        for (const auto& [file, times] : rounds) {
            const qint64 mib = QFileInfo(file).size() >> 20;
            double serversBefore = 0;
            for (auto& process : servers.processes)
                serversBefore += cpuSeconds(process->processId());
            const double pgBefore = cpuOf(QStringLiteral("postgres")),
                         s3Before = cpuOf(QStringLiteral("s3rver"));
            const Figures figures = load(servers.urls, token, file, clients, times);
            double serversAfter = 0;
            for (auto& process : servers.processes)
                serversAfter += cpuSeconds(process->processId());
            const double count = double(clients) * times;
            const double rate = count * double(mib) / figures.seconds;
            const QString key = QString::number(mib);
            if (setup.stores == &folder)
                baseline[key] = rate;
            std::printf("%-16s %-8d %-8s %9.1f %10.1f %8.0f%%   %.1f / %.1f / %.1f%s\n",
                        qPrintable(setup.stores->name), setup.servers,
                        qPrintable(QStringLiteral("%1 MiB").arg(mib)), count / figures.seconds,
                        rate, 100 * rate / baseline.value(key, rate), serversAfter - serversBefore,
                        cpuOf(QStringLiteral("postgres")) - pgBefore,
                        cpuOf(QStringLiteral("s3rver")) - s3Before,
                        figures.failed
                            ? qPrintable(QStringLiteral("  (%1 failed)").arg(figures.failed))
                            : "");
        }
        for (auto& process : servers.processes) {
            process->terminate();
            process->waitForFinished();
        }
    }

    // One 1 GiB upload to S3: the body goes to the server's folder, then up in parts.
    {
        QFile::remove(large);
        const QString huge = makeFile(work.path() + QStringLiteral("/1gib.bin"), 1024);
        QProcess create;
        create.start(serverBinary,
                     QStringList{QStringLiteral("--data"), work.path() + QStringLiteral("/huge"),
                                 QStringLiteral("--create-user"), QStringLiteral("bench")} +
                         shared.options);
        create.waitForFinished();
        const QByteArray token = create.readAllStandardOutput().trimmed();
        Servers servers = startServers(1, work.path(), shared, QStringLiteral("huge"));
        const qint64 pid = servers.processes.front()->processId();
        const qint64 before = procKiB(pid, "VmHWM:");
        const Figures figures = load(servers.urls, token, huge, 1, 1);
        const qint64 peak = procKiB(pid, "VmHWM:");
        std::printf("\n1 GiB to S3 through one server: %.1f s (%.1f MiB/s)%s; server peak RSS "
                    "%.1f MiB (%.1f MiB before it)\n",
                    figures.seconds, 1024 / figures.seconds, figures.failed ? ", FAILED" : "",
                    peak / 1024.0, before / 1024.0);
        for (auto& process : servers.processes) {
            process->terminate();
            process->waitForFinished();
        }
    }
    QProcess::execute(storesScript, {QStringLiteral("stop"), storesDir});
    return 0;
}
