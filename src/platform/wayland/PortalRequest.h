#pragma once

// What every xdg-desktop-portal call shares: methods answer at once with a Request object, and
// the result comes later as that object's Response signal.
#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace shotlark::platform::wayland {

inline const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// Receives the Response of one request: 0 done, 1 cancelled by the user, 2 failed.
class PortalResponse : public QObject {
    Q_OBJECT
public:
    uint code = 2;
    QVariantMap results;
    bool arrived = false;

    // Listens on a request's path; subscribe before the call, so that the answer can't be missed.
    bool listen(QDBusConnection& bus, const QString& requestPath);

public Q_SLOTS:
    void received(uint response, const QVariantMap& values);

Q_SIGNALS:
    void done();
};

// A new handle token, and the path of the request the portal makes from it for this client.
QString newRequestToken();
QString requestPath(const QDBusConnection& bus, const QString& token);

// What a request answered: 0 done, 1 cancelled by the user, 2 failed; `error` is the D-Bus error
// name when the call itself was refused (no such portal, say).
struct PortalAnswer {
    uint code = 2;
    QVariantMap results;
    QString error;
    // The "session_handle" of a CreateSession answer.
    QString sessionHandle() const;
};

// Calls a portal method that answers through a Request object made from `token` (its
// "handle_token" option) and waits, however long the user takes, for that answer; failed (2)
// when the portal goes away meanwhile.
QCoro::Task<PortalAnswer> portalRequest(QString interface, QString method, QVariantList arguments,
                                        QString token);

// Whether the session bus offers the portal's `interface` (it answers for its version).
bool offersPortal(const QString& interface);

// Whether XDG_CURRENT_DESKTOP names `desktop` ("GNOME", "KDE"): their portals behave unlike the
// portal documentation says in places that matter to us.
bool onDesktop(const QString& desktop);

} // namespace shotlark::platform::wayland
