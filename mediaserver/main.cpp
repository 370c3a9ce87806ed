// shotlark-server: a small self-hosted media server for Shotlark.
#include "MediaServer.h"
#include "Migration.h"
#include "Store.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace slkserver;

namespace {

int usage(const char* message) {
    std::fprintf(stderr, "shotlark-server: %s (see --help)\n", message);
    return 2;
}

// Serves until SIGINT or SIGTERM. Every upload is committed before it is answered, so on a
// signal the process ends as soon as no upload is being received.
int serve(MediaServer& server, int readyFd) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr); // inherited by every worker thread
    std::thread([&server, signals] {
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
        server.waitForUploads(std::chrono::seconds(30));
        std::fflush(stdout);
        std::_Exit(0);
    }).detach();
    std::printf("shotlark-server: serving %s\n", server.publicUrl().c_str());
    std::fflush(stdout);
    if (readyFd >= 0) {
        const std::string line = server.publicUrl() + "\n";
        (void)!::write(readyFd, line.data(), line.size());
        ::close(readyFd);
    }
    return server.run() ? 0 : 1;
}

const QCommandLineOption
    credentialsOption(QStringLiteral("storage-credentials"),
                      QStringLiteral("A file only you can read with aws_access_key_id = ... and "
                                     "aws_secret_access_key = ... (default: AWS_ACCESS_KEY_ID and "
                                     "AWS_SECRET_ACCESS_KEY)."),
                      QStringLiteral("FILE"));

std::optional<std::filesystem::path> credentialsOf(const QCommandLineParser& parser) {
    if (!parser.isSet(credentialsOption))
        return std::nullopt;
    return QDir(parser.value(credentialsOption)).absolutePath().toStdString();
}

// shotlark-server migrate --from DIR --to-database URL --to-storage URL
int migrateCommand(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Copies a server's folder (SQLite and files) into PostgreSQL and "
                       "S3-compatible storage. The folder is only read; a run that stops can be "
                       "run again and goes on where it stopped."));
    parser.addHelpOption();
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("The --data folder of the server to copy."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption toDatabase(QStringLiteral("to-database"),
                                        QStringLiteral("postgresql://USER@HOST/DATABASE"),
                                        QStringLiteral("URL"));
    const QCommandLineOption toStorage(QStringLiteral("to-storage"),
                                       QStringLiteral("s3://BUCKET?endpoint=URL&region=REGION"),
                                       QStringLiteral("URL"));
    parser.addOptions({from, toDatabase, toStorage, credentialsOption});
    parser.process(arguments);
    if (!parser.isSet(from) || !parser.isSet(toDatabase) || !parser.isSet(toStorage))
        return usage("migrate takes --from DIR --to-database URL --to-storage URL");

    std::string error;
    const auto source =
        Store::openForReading(QDir(parser.value(from)).absolutePath().toStdString(), error);
    if (!source) {
        std::fprintf(stderr, "shotlark-server: %s\n", error.c_str());
        return 1;
    }
    StoreOptions target;
    // The copy's own temporary files; nothing is written in the source folder.
    target.dataDir =
        QDir::temp()
            .absoluteFilePath(
                QStringLiteral("shotlark-migrate-%1").arg(QCoreApplication::applicationPid()))
            .toStdString();
    target.database = parser.value(toDatabase).toStdString();
    target.storage = parser.value(toStorage).toStdString();
    target.storageCredentials = credentialsOf(parser);
    const auto destination = Store::open(target, Store::Use::Administer, error);
    if (!destination) {
        std::filesystem::remove_all(target.dataDir);
        std::fprintf(stderr, "shotlark-server: %s\n", error.c_str());
        return 1;
    }
    MigrationCount count;
    const bool done = migrate(
        *source, *destination,
        [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        },
        count, error);
    std::error_code ec;
    std::filesystem::remove_all(target.dataDir, ec);
    std::printf("migrate: %d users; %d uploads copied (%.1f MiB), %d already there, %d without "
                "a file; every copy checked by size and SHA-256\n",
                count.users, count.copied, static_cast<double>(count.bytes) / (1024 * 1024),
                count.alreadyThere, count.missing);
    if (!done) {
        std::fprintf(stderr, "shotlark-server: migrate stopped: %s (run it again to go on)\n",
                     error.c_str());
        return 1;
    }
    return count.missing ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("shotlark-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SHOTLARK_VERSION));
    if (argc > 1 && std::string(argv[1]) == "migrate") {
        QStringList arguments = app.arguments();
        arguments.removeAt(1);
        return migrateCommand(arguments);
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A self-hosted media server for Shotlark."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption data(
        QStringLiteral("data"),
        QStringLiteral("This server's folder: its temporary files and, without --database and "
                       "--storage, the database and the uploads."),
        QStringLiteral("DIR"),
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
            QStringLiteral("/shotlark-server"));
    const QCommandLineOption database(
        QStringLiteral("database"),
        QStringLiteral("PostgreSQL for the rows, shared by every server given the same: "
                       "postgresql://USER@HOST/DATABASE (the password from PGPASSWORD or "
                       "~/.pgpass). Default: SQLite in the --data folder."),
        QStringLiteral("URL"));
    const QCommandLineOption storage(
        QStringLiteral("storage"),
        QStringLiteral("S3-compatible storage for the files: "
                       "s3://BUCKET?endpoint=URL&region=REGION&prefix=P. Default: the --data "
                       "folder."),
        QStringLiteral("URL"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Address and port to listen on (port 0: any free one)."),
        QStringLiteral("HOST:PORT"), QStringLiteral("127.0.0.1:8080"));
    const QCommandLineOption publicUrl(
        QStringLiteral("public-url"),
        QStringLiteral("The address people reach the server at, e.g. behind a reverse proxy."),
        QStringLiteral("URL"));
    const QCommandLineOption createUser(
        QStringLiteral("create-user"),
        QStringLiteral("Create the user if needed, print a new upload token, and exit."),
        QStringLiteral("NAME"));
    const QCommandLineOption features(
        QStringLiteral("features"),
        QStringLiteral("Comma-separated features to offer the app (default: all of "
                       "annotate,app_gif,app_ocr,app_presence,auto_update,replay_buffer; "
                       "an empty list offers none)."),
        QStringLiteral("LIST"));
    const QCommandLineOption maxUpload(QStringLiteral("max-upload-mib"),
                                       QStringLiteral("Largest upload accepted, in MiB."),
                                       QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption releases(
        QStringLiteral("releases"),
        QStringLiteral("Directory of app builds named Shotlark-VERSION-linux.zip."),
        QStringLiteral("DIR"));
    const QCommandLineOption threads(QStringLiteral("threads"), QStringLiteral("Worker threads."),
                                     QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption headerTimeout(
        QStringLiteral("header-timeout"),
        QStringLiteral("Seconds a client has to send a request's headers, in all."),
        QStringLiteral("S"), QStringLiteral("5"));
    const QCommandLineOption bodyGrace(
        QStringLiteral("body-grace"),
        QStringLiteral(
            "Seconds a request body (or an answer) may be slower than its minimum rate."),
        QStringLiteral("S"), QStringLiteral("10"));
    const QCommandLineOption bodyMinRate(
        QStringLiteral("body-min-rate"),
        QStringLiteral("Bytes a second a request body must average after its grace period."),
        QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption answerMinRate(
        QStringLiteral("answer-min-rate"),
        QStringLiteral("Bytes a second a client must read an answer at after --body-grace."),
        QStringLiteral("N"), QStringLiteral("4096"));
    const QCommandLineOption maxConnections(QStringLiteral("max-connections"),
                                            QStringLiteral("Connections open at once, in all."),
                                            QStringLiteral("N"), QStringLiteral("1024"));
    const QCommandLineOption maxPerAddress(
        QStringLiteral("max-connections-per-address"),
        QStringLiteral("Connections open at once from one client address."), QStringLiteral("N"),
        QStringLiteral("64"));
    const QCommandLineOption gifSeconds(
        QStringLiteral("gif-max-seconds"),
        QStringLiteral("Longest recording converted to a GIF, in seconds."), QStringLiteral("S"),
        QStringLiteral("60"));
    const QCommandLineOption gifMib(QStringLiteral("gif-max-mib"),
                                    QStringLiteral("Largest recording converted to a GIF, in MiB."),
                                    QStringLiteral("N"), QStringLiteral("256"));
    const QCommandLineOption gifWorkers(
        QStringLiteral("gif-workers"),
        QStringLiteral("GIF conversions run at once (default: half the processors)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption readyFd(
        QStringLiteral("ready-fd"),
        QStringLiteral("Write the server's address to this file descriptor once it listens."),
        QStringLiteral("FD"));
    parser.addOptions(
        {data,       database,    storage,       credentialsOption, listen,        publicUrl,
         createUser, features,    maxUpload,     releases,          threads,       headerTimeout,
         bodyGrace,  bodyMinRate, answerMinRate, maxConnections,    maxPerAddress, gifSeconds,
         gifMib,     gifWorkers,  readyFd});
    parser.process(app);

    std::string error;
    StoreOptions stores;
    stores.dataDir = QDir(parser.value(data)).absolutePath().toStdString();
    stores.database = parser.value(database).toStdString();
    stores.storage = parser.value(storage).toStdString();
    stores.storageCredentials = credentialsOf(parser);
    auto store = Store::open(
        stores, parser.isSet(createUser) ? Store::Use::Administer : Store::Use::Serve, error);
    if (!store) {
        std::fprintf(stderr, "shotlark-server: %s\n", error.c_str());
        return 1;
    }
    if (parser.isSet(createUser)) {
        const QString name = parser.value(createUser).trimmed();
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.size() > 64)
            return usage("a user name is 1 to 64 characters without \"/\"");
        std::printf("%s\n", store->issueToken(name.toStdString()).c_str());
        return 0;
    }

    Options options;
    options.dataDir = store->dir();
    const QString address = parser.value(listen);
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    bool portOk = false;
    options.port = colon > 0 ? address.mid(colon + 1).toInt(&portOk) : 0;
    if (!portOk || options.port < 0 || options.port > 65535)
        return usage("--listen takes HOST:PORT");
    options.host =
        address.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')).toStdString();
    options.publicUrl = parser.value(publicUrl).toStdString();
    options.features = allFeatures();
    if (parser.isSet(features)) {
        options.features.clear();
        for (const QString& name :
             parser.value(features).split(QLatin1Char(','), Qt::SkipEmptyParts))
            options.features.push_back(name.trimmed().toStdString());
    }
    bool sizeOk = false;
    const long long mib = parser.value(maxUpload).toLongLong(&sizeOk);
    if (!sizeOk || mib <= 0)
        return usage("--max-upload-mib takes a positive number");
    options.maxUploadBytes = mib * 1024 * 1024;
    if (parser.isSet(releases))
        options.releasesDir = QDir(parser.value(releases)).absolutePath().toStdString();
    options.threads = std::max(2, parser.value(threads).toInt());
    bool limitsOk = true;
    auto seconds = [&](const QCommandLineOption& option) {
        bool ok = false;
        const double value = parser.value(option).toDouble(&ok);
        limitsOk &= ok && value > 0 && value < 86400;
        return std::chrono::milliseconds(static_cast<int64_t>(value * 1000));
    };
    options.clientLimits.headers = seconds(headerTimeout);
    options.clientLimits.bodyGrace = seconds(bodyGrace);
    options.clientLimits.bodyMinRate = parser.value(bodyMinRate).toLongLong(&sizeOk);
    if (!limitsOk || !sizeOk || options.clientLimits.bodyMinRate < 0)
        return usage("--header-timeout and --body-grace take seconds, --body-min-rate bytes");
    bool connectionsOk = false, perAddressOk = false;
    options.clientLimits.maxConnections = parser.value(maxConnections).toInt(&connectionsOk);
    options.clientLimits.maxConnectionsPerAddress =
        parser.value(maxPerAddress).toInt(&perAddressOk);
    if (!connectionsOk || !perAddressOk || options.clientLimits.maxConnections < 1 ||
        options.clientLimits.maxConnectionsPerAddress < 1)
        return usage("--max-connections and --max-connections-per-address take positive numbers");
    options.clientLimits.largeBody = options.maxUploadBytes;
    options.clientLimits.answerGrace = options.clientLimits.bodyGrace;
    bool answerRateOk = false;
    options.clientLimits.answerMinRate = parser.value(answerMinRate).toLongLong(&answerRateOk);
    if (!answerRateOk || options.clientLimits.answerMinRate < 0)
        return usage("--answer-min-rate takes bytes a second");
    bool gifOk = false, gifMibOk = false, workersOk = false;
    options.gif.maxSeconds = parser.value(gifSeconds).toDouble(&gifOk);
    options.gif.maxInputBytes = parser.value(gifMib).toLongLong(&gifMibOk) * 1024 * 1024;
    options.gifWorkers = parser.value(gifWorkers).toInt(&workersOk);
    if (!gifOk || !gifMibOk || !workersOk || options.gif.maxSeconds <= 0 ||
        options.gif.maxInputBytes <= 0 || options.gifWorkers < 0 || options.gifWorkers > 64)
        return usage("--gif-max-seconds, --gif-max-mib and --gif-workers take positive numbers");

    MediaServer server(options, *store);
    if (server.bind() < 0) {
        std::fprintf(stderr, "shotlark-server: can't listen on %s\n", qPrintable(address));
        return 1;
    }
    return serve(server, parser.isSet(readyFd) ? parser.value(readyFd).toInt() : -1);
}
