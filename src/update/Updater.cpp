#include "update/Updater.h"

#include "base/Errors.h"
#include "base/Worker.h"
#include "server/HttpClient.h"
#include "store/Config.h"
#include "store/Paths.h"
#include "update/Bundle.h"
#include "update/Installation.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>

#include <cstdio>
#include <unistd.h>

namespace shotlark {

namespace {

QByteArray& trustedKey() {
    static QByteArray key;
    return key;
}

void log(const QString& line) {
    std::fprintf(stderr, "shotlark: update: %s\n", qPrintable(line));
}

} // namespace

Updater& Updater::shared() {
    static Updater* instance = new Updater; // lives for the run, like the app
    return *instance;
}

void Updater::setTrustedKey(const QByteArray& key) {
    trustedKey() = key;
}

QString Updater::currentVersion() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("0") : version;
}

bool Updater::isNewer(const QString& a, const QString& b) {
    return bundle::isNewerVersion(a, b);
}

void Updater::start() {
    check(false);
    delete timer_;
    timer_ = new QTimer(this);
    timer_->setInterval(std::chrono::hours(6));
    connect(timer_, &QTimer::timeout, this, [this] {
        if (Config::shared().boolValue(keys::autoUpdate))
            check(false);
    });
    timer_->start();
}

void Updater::check(bool manual) {
    checkNow(manual); // runs on its own; its outcome is announced
}

void Updater::setAvailable(std::optional<AvailableUpdate> update) {
    const bool changed =
        update.has_value() != available_.has_value() ||
        (update && (update->version != available_->version || update->url != available_->url));
    available_ = std::move(update);
    if (changed)
        Q_EMIT availableChanged();
}

QCoro::Task<> Updater::checkNow(bool manual) {
    const QUrl server(Config::shared().stringValue(keys::server).value_or(QString()));
    if (!server.isValid() || server.scheme().isEmpty() || server.host().isEmpty())
        co_return;
    QUrl address = server;
    address.setPath(server.path() + (server.path().endsWith(QLatin1Char('/'))
                                         ? QStringLiteral("api/setup/versions")
                                         : QStringLiteral("/api/setup/versions")));
    HttpRequest request;
    request.url = address;
    QPointer<Updater> self(this);
    std::optional<HttpResponse> answer;
    try {
        auto asking = HttpClient::shared().send(std::move(request));
        answer = co_await std::move(asking);
    } catch (const Error&) {
    }
    if (!self)
        co_return;
    QJsonParseError parsed{};
    const QJsonDocument document =
        answer ? QJsonDocument::fromJson(answer->body, &parsed) : QJsonDocument();
    const QJsonValue linux = document.object().value(QStringLiteral("linux"));
    const bool readable =
        answer && parsed.error == QJsonParseError::NoError && document.isObject() &&
        (linux.isUndefined() || (linux.isObject() && linux[QStringLiteral("version")].isString() &&
                                 linux[QStringLiteral("url")].isString()));
    if (!readable) {
        if (manual)
            Q_EMIT announce(QStringLiteral("Couldn't check for updates"),
                            QStringLiteral("The server didn't answer."));
        co_return;
    }
    const QString version = linux[QStringLiteral("version")].toString();
    const QUrl url(linux[QStringLiteral("url")].toString(), QUrl::StrictMode);
    if (linux.isObject() && isNewer(version, currentVersion()) && url.isValid() &&
        !url.scheme().isEmpty()) {
        setAvailable(AvailableUpdate{version, url});
        if (!manual && notifiedVersion_ == version)
            co_return;
        notifiedVersion_ = version;
        Q_EMIT announce(QStringLiteral("Update available"),
                        QStringLiteral("Version ") + version +
                            QStringLiteral(" is ready. Choose \u201cUpdate to ") + version +
                            QStringLiteral("\u201d in the menu."));
        co_return;
    }
    setAvailable(std::nullopt);
    if (manual)
        Q_EMIT announce(QStringLiteral("You're up to date"), QStringLiteral("Version ") +
                                                                 currentVersion() +
                                                                 QStringLiteral(" is the latest."));
}

QCoro::Task<> Updater::install() {
    if (!available_)
        co_return;
    const installation::Where here = installation::current();
    if (here.kind != installation::Kind::Bundle)
        throw UploaderError(
            QStringLiteral("This copy of Shotlark runs from %1, not from an unpacked bundle, so it "
                           "can't replace itself.")
                .arg(QDir::toNativeSeparators(QCoreApplication::applicationDirPath())));
    // The swap renames beside the bundle: find out now, while the app still runs.
    const QString parent = QDir::cleanPath(here.root + QStringLiteral("/.."));
    if (::access(QFile::encodeName(parent).constData(), W_OK) != 0)
        throw UploaderError(QStringLiteral("Shotlark can't replace itself: %1 is read-only.")
                                .arg(QDir::toNativeSeparators(parent)));

    // One install at a time: a second click before the quit, or a script still at work.
    if (installing_)
        throw UploaderError(QStringLiteral("An update is already being installed"));
    if (!installation::UpdateLock(here.root).isHeld())
        throw UploaderError(QStringLiteral("An update is already being installed"));
    installing_ = true;
    struct Installing {
        bool& flag;
        bool done = false;
        ~Installing() { flag = done; }
    } installing{installing_};

    const AvailableUpdate update = *available_;
    const QString folder = paths::temporaryPath(QStringLiteral("slk-update-"));
    if (!QDir().mkpath(folder))
        throw FileError(QStringLiteral("Couldn't create %1").arg(folder));
    // The archive waits beside the folder, so that the folder holds the unpacked bundle alone
    // and no entry of the archive can be written over the archive itself.
    const QString archive = folder + QStringLiteral(".zip");
    HttpRequest request;
    request.url = update.url;
    request.saveTo = archive;
    const auto removeFolder = [folder] {
        QDir(folder).removeRecursively();
    };
    HttpResponse answer;
    try {
        auto downloading = HttpClient::shared().send(std::move(request));
        answer = co_await std::move(downloading);
    } catch (...) {
        removeFolder();
        throw;
    }
    if (answer.status != 200) {
        removeFolder();
        throw UploaderError(QStringLiteral("The download failed"));
    }

    // Unpacking and checking block: a worker does them.
    const QByteArray key = trustedKey();
    struct Outcome {
        QString step;
        int code = 0;
        QString detail;
        QString app;
    };
    const QString running = currentVersion();
    auto unpackAndVerify = [archive, folder, key, running] {
        Outcome result;
        result.code = bundle::unpack(archive, folder, &result.detail);
        QFile::remove(archive);
        if (result.code != 0) {
            result.step = QStringLiteral("unpack");
            return result;
        }
        const QStringList apps =
            QDir(folder).entryList({QStringLiteral("*.app")}, QDir::Dirs | QDir::NoDotAndDotDot);
        if (apps.isEmpty())
            return result;
        result.app = folder + QLatin1Char('/') + apps.first();
        result.code = bundle::verify(result.app, key, &result.detail, running);
        if (result.code != 0)
            result.step = QStringLiteral("verify");
        return result;
    };
    auto checking = onWorker(std::move(unpackAndVerify));
    const Outcome outcome = co_await std::move(checking);
    if (outcome.code != 0) {
        log(outcome.step + QStringLiteral(": ") + outcome.detail);
        removeFolder();
        throw UploaderError(QStringLiteral("%1 failed (%2)").arg(outcome.step).arg(outcome.code));
    }
    if (outcome.app.isEmpty()) {
        removeFolder();
        throw UploaderError(QStringLiteral("The download didn't contain the app"));
    }

    const QString script = installation::replacementScript(QCoreApplication::applicationPid());
    if (!QProcess::startDetached(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), script, QStringLiteral("sh"), here.root, outcome.app})) {
        removeFolder();
        throw FileError(QStringLiteral("Couldn't start /bin/sh to install the update"));
    }
    installing.done = true; // the app quits now; nothing is installed twice
    log(QStringLiteral("installing %1 over %2").arg(update.version, here.root));
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

} // namespace shotlark
