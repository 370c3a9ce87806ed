#include "app/Instance.h"

#include "base/Handover.h"
#include "store/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace shotlark {

namespace {
constexpr int lockTimeoutMs = 5000;

// The directory of the instance socket and lock. Whoever can write there can take the place of
// the running app and receive what later starts hand over (configuration links carry tokens).
QString runtimeDir() {
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (paths::isOwnedPrivateDir(xdg))
        return xdg;
    const QString shared = QDir::tempPath() + QStringLiteral("/shotlark-%1").arg(::geteuid());
    if (paths::ensureOwnedPrivateDir(shared))
        return shared;
    // Someone else made it first: the cache home is ours whatever happens in the shared place.
    const QString own = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                        QStringLiteral("/Shotlark/run");
    static bool told = false;
    if (!std::exchange(told, true))
        std::fprintf(stderr, "shotlark: %s is not a private directory of this user; using %s\n",
                     qPrintable(shared), qPrintable(own));
    paths::ensurePrivateDir(own);
    return own;
}
} // namespace

QString Instance::socketPath() {
    return runtimeDir() + QStringLiteral("/shotlark.socket");
}

QStringList absoluteArguments(const QStringList& arguments) {
    QStringList absolute;
    for (const QString& argument : arguments) {
        const bool option = argument.startsWith(QLatin1Char('-'));
        const bool url = QUrl(argument).scheme().size() > 1; // not a Windows-like "C:"
        absolute.append(option || url ? argument : QFileInfo(argument).absoluteFilePath());
    }
    return absolute;
}

bool Instance::forward(const QStringList& arguments) {
    std::vector<std::string> utf8;
    for (const QString& argument : arguments)
        utf8.push_back(argument.toStdString());
    return handover::send(QFile::encodeName(socketPath()).toStdString(), utf8);
}

bool Instance::claim(Receiver receiver) {
    // The lock makes "is one running? then become it" one step between two starting processes.
    lock_ = std::make_unique<QLockFile>(socketPath() + QStringLiteral(".lock"));
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(lockTimeoutMs))
        return false;
    QLocalServer::removeServer(socketPath()); // a socket left by a crashed run
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath()))
        return false;
    receiver_ = std::move(receiver);
    connect(&server_, &QLocalServer::newConnection, this, &Instance::accept);
    return true;
}

void Instance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine())
                return;
            const QJsonDocument document = QJsonDocument::fromJson(socket->readLine());
            QStringList arguments;
            for (const QJsonValue& value : document.array())
                arguments.append(value.toString());
            socket->write("ok\n");
            socket->flush();
            // From a fresh turn of the event loop: the handler may open dialogs, and the socket
            // may be deleted while they are open.
            QMetaObject::invokeMethod(
                this, [this, arguments] { receiver_(arguments); }, Qt::QueuedConnection);
        });
    }
}

} // namespace shotlark
