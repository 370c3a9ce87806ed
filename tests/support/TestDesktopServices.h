#pragma once

// Stand-ins for the desktop's session services, served by the test process on its private
// session bus: a notification server that records what it is sent, and a tray host
// (StatusNotifierWatcher) so that Qt exports the app's tray icon and menu.
#include "support/Prelude.h"
#include <QDBusContext>
#include <QObject>
#include <QVariantMap>

namespace shotlark::test {

struct ReceivedNotification {
    quint32 id;
    QString appName;
    QString summary;
    QString body;
    QStringList actions;
};

class TestNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    bool registerOnBus();
    QList<ReceivedNotification> received;
    void invoke(quint32 id, const QString& action) { Q_EMIT ActionInvoked(id, action); }

public Q_SLOTS:
    quint32 Notify(const QString& appName, quint32 replacesId, const QString& icon,
                   const QString& summary, const QString& body, const QStringList& actions,
                   const QVariantMap& hints, qint32 timeout);
    QStringList GetCapabilities();
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);
    void CloseNotification(quint32 id);

Q_SIGNALS:
    void ActionInvoked(quint32 id, const QString& actionKey);
    void NotificationClosed(quint32 id, quint32 reason);

private:
    quint32 next_ = 0;
};

class TestTrayHost : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    bool registerOnBus();
    QStringList items() const { return items_; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    // The bus name of the first registered item (the app's tray icon), empty until then.
    QString itemService() const { return itemService_; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service);
    void RegisterStatusNotifierHost(const QString& service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList items_;
    QString itemService_;
};

// One item of an exported com.canonical.dbusmenu menu.
struct DBusMenuNode {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuNode> children;
    QString label() const { return properties.value(u"label"_s).toString(); }
    QStringList labels() const {
        QStringList out;
        for (const DBusMenuNode& child : children)
            out.append(child.label());
        return out;
    }
};

// The tray item's menu as the desktop sees it, opened as a tray host opens it.
class TrayMenu {
public:
    TrayMenu(QString service, QString path)
        : service_(std::move(service)), path_(std::move(path)) {}
    static TrayMenu of(const QString& itemService);
    // AboutToShow (the app rebuilds its menu) and the layout afterwards.
    DBusMenuNode open();
    // The layout as it is now, as an open menu shows it (no AboutToShow).
    DBusMenuNode layout();
    // Opens the menu and clicks the item whose label path matches; false when not found.
    bool click(const QStringList& labels);

private:
    QString service_, path_;
};

} // namespace shotlark::test
