#include "app/Instance.h"

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
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace shotlark {

namespace {
constexpr int timeoutMs = 5000;

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
    // Plain POSIX: a second start hands over before any application object, and with it a
    // connection to the window system, exists.
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address{};
    if (path.size() >= static_cast<qsizetype>(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const timeval timeout{timeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    const QByteArray line =
        QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n';
    for (qsizetype sent = 0; ok && sent < line.size();) {
        const ssize_t n = ::send(fd, line.constData() + sent,
                                 static_cast<size_t>(line.size() - sent), MSG_NOSIGNAL);
        ok = n > 0;
        sent += ok ? n : 0;
    }
    // The running instance answers once it has taken the arguments.
    char answer[2] = {};
    ok = ok && ::recv(fd, answer, sizeof answer, MSG_WAITALL) == 2 && answer[0] == 'o' &&
         answer[1] == 'k';
    ::close(fd);
    return ok;
}

bool Instance::claim(Receiver receiver) {
    // The lock makes "is one running? then become it" one step between two starting processes.
    lock_ = std::make_unique<QLockFile>(socketPath() + QStringLiteral(".lock"));
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(timeoutMs))
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
