#include "TestDesktopServices.h"
#include "support/Prelude.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>

namespace shotlark::test {

bool TestNotificationServer::registerOnBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.registerObject(u"/org/freedesktop/Notifications"_s, this,
                              QDBusConnection::ExportAllSlots |
                                  QDBusConnection::ExportAllSignals) &&
           bus.registerService(u"org.freedesktop.Notifications"_s);
}

quint32 TestNotificationServer::Notify(const QString& appName, quint32, const QString&,
                                       const QString& summary, const QString& body,
                                       const QStringList& actions, const QVariantMap&, qint32) {
    received.append({++next_, appName, summary, body, actions});
    return next_;
}

QStringList TestNotificationServer::GetCapabilities() {
    return {u"body"_s, u"actions"_s, u"body-markup"_s};
}

QString TestNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                     QString& specVersion) {
    vendor = u"shotlark-tests"_s;
    version = u"1"_s;
    specVersion = u"1.2"_s;
    return u"test-notifications"_s;
}

void TestNotificationServer::CloseNotification(quint32 id) {
    Q_EMIT NotificationClosed(id, 3);
}

bool TestTrayHost::registerOnBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.registerObject(u"/StatusNotifierWatcher"_s, this,
                              QDBusConnection::ExportAllContents) &&
           bus.registerService(u"org.kde.StatusNotifierWatcher"_s);
}

void TestTrayHost::RegisterStatusNotifierItem(const QString& service) {
    // Items register by bus name or by object path; the sender is the bus name either way.
    const QString name = service.startsWith(u'/') ? message().service() : service;
    items_.append(name);
    if (itemService_.isEmpty())
        itemService_ = name;
    Q_EMIT StatusNotifierItemRegistered(name);
}

void TestTrayHost::RegisterStatusNotifierHost(const QString&) {
    Q_EMIT StatusNotifierHostRegistered();
}

namespace {
DBusMenuNode parseNode(const QDBusArgument& argument) {
    DBusMenuNode node;
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        node.children.append(parseNode(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return node;
}

const DBusMenuNode* find(const DBusMenuNode& node, const QStringList& labels, qsizetype at = 0) {
    if (at == labels.size())
        return &node;
    for (const DBusMenuNode& child : node.children) {
        if (child.label() == labels[at])
            return find(child, labels, at + 1);
    }
    return nullptr;
}

QDBusMessage menuCall(const QString& service, const QString& path, const QString& method,
                      const QVariantList& args) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, u"com.canonical.dbusmenu"_s, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
}
} // namespace

TrayMenu TrayMenu::of(const QString& itemService) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        itemService, u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    get << u"org.kde.StatusNotifierItem"_s << u"Menu"_s;
    const QDBusReply<QDBusVariant> reply =
        QDBusConnection::sessionBus().call(get, QDBus::Block, 10000);
    return TrayMenu(itemService, reply.isValid()
                                     ? reply.value().variant().value<QDBusObjectPath>().path()
                                     : QString());
}

DBusMenuNode TrayMenu::open() {
    menuCall(service_, path_, u"AboutToShow"_s, {0});
    return layout();
}

DBusMenuNode TrayMenu::layout() {
    const QDBusMessage layout = menuCall(service_, path_, u"GetLayout"_s, {0, -1, QStringList()});
    if (layout.type() != QDBusMessage::ReplyMessage || layout.arguments().size() < 2)
        return {};
    return parseNode(layout.arguments().at(1).value<QDBusArgument>());
}

bool TrayMenu::click(const QStringList& labels) {
    const DBusMenuNode root = open();
    // Submenus are filled when they are about to show, as a tray host would do.
    for (qsizetype depth = 1; depth < labels.size(); ++depth) {
        if (const DBusMenuNode* parent = find(root, labels.mid(0, depth)))
            menuCall(service_, path_, u"AboutToShow"_s, {parent->id});
    }
    const DBusMenuNode refreshed =
        labels.size() > 1
            ? parseNode(menuCall(service_, path_, u"GetLayout"_s, {0, -1, QStringList()})
                            .arguments()
                            .at(1)
                            .value<QDBusArgument>())
            : root;
    const DBusMenuNode* item = find(refreshed, labels);
    if (!item)
        return false;
    menuCall(service_, path_, u"Event"_s,
             {item->id, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
    return true;
}

} // namespace shotlark::test
