// Global shortcuts through the GlobalShortcuts portal. No desktop on Debian 12 but KDE's has a
// backend for it, so the portal is played here by a stand-in on the harness's private bus,
// answering as the portal's documentation says: requests answered by Response signals,
// shortcuts bound per session, Activated for presses.
#include "platform/wayland/PortalShortcuts.h"
#include "support/Prelude.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMutex>
#include <QSignalSpy>

using namespace shotlark::platform::wayland;

namespace {

const QString portalPath = u"/org/freedesktop/portal/desktop"_s;

class StandInPortal : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    explicit StandInPortal(QDBusConnection bus) : bus_(std::move(bus)) {}
    uint version() const { return 1; }

    // Set before the portal is offered; the rest is read through the accessors.
    QStringList refusedIds; // what this desktop won't bind

    QList<QList<PortalShortcut>> binds() const {
        QMutexLocker lock(&mutex_);
        return binds_;
    }
    QString lastSession() const {
        QMutexLocker lock(&mutex_);
        return sessions_.value(sessions_.size() - 1);
    }

    void press(const QString& session, const QString& id) {
        QDBusMessage signal = QDBusMessage::createSignal(
            portalPath, u"org.freedesktop.portal.GlobalShortcuts"_s, u"Activated"_s);
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(0)
               << QVariantMap();
        bus_.send(signal);
    }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options) {
        const QString session = portalPath + u"/session/"_s + sender() + u'/' +
                                options.value(u"session_handle_token"_s).toString();
        QMutexLocker lock(&mutex_);
        sessions_.append(session);
        return answer(options, {{u"session_handle"_s, session}});
    }

    // Spelled out: QtDBus matches the slot by the type's registered name.
    QDBusObjectPath
    BindShortcuts(const QDBusObjectPath&,
                  const QList<shotlark::platform::wayland::PortalShortcut>& shortcuts,
                  const QString&, const QVariantMap& options) {
        {
            QMutexLocker lock(&mutex_);
            binds_.append(shortcuts);
        }
        QList<PortalShortcut> bound;
        for (PortalShortcut shortcut : shortcuts) {
            if (refusedIds.contains(shortcut.id))
                continue;
            shortcut.options.insert(u"trigger_description"_s,
                                    shortcut.options.value(u"preferred_trigger"_s));
            bound.append(shortcut);
        }
        return answer(options, {{u"shortcuts"_s, QVariant::fromValue(bound)}});
    }

private:
    QString sender() const {
        QString name = message().service().mid(1);
        name.replace(u'.', u'_');
        return name;
    }

    // The request's path now, its Response on the next turn, as the portal does.
    QDBusObjectPath answer(const QVariantMap& options, const QVariantMap& results) {
        const QString path = portalPath + u"/request/"_s + sender() + u'/' +
                             options.value(u"handle_token"_s).toString();
        QTimer::singleShot(0, this, [this, path, results] {
            QDBusMessage response = QDBusMessage::createSignal(
                path, u"org.freedesktop.portal.Request"_s, u"Response"_s);
            response << uint(0) << results;
            bus_.send(response);
        });
        return QDBusObjectPath(path);
    }

    QDBusConnection bus_;
    mutable QMutex mutex_;
    QList<QList<PortalShortcut>> binds_; // every BindShortcuts, in order
    QStringList sessions_;
};

class PortalShortcutsTest : public testing::Test {
protected:
    void SetUp() override {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        ASSERT_TRUE(bus.isConnected());
        // Its own thread: the app's side may wait for an answer on the main thread.
        portal = new StandInPortal(bus);
        portal->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, portal, &QObject::deleteLater);
        thread.start();
    }
    void TearDown() override {
        bus.unregisterObject(portalPath);
        bus.unregisterService(u"org.freedesktop.portal.Desktop"_s);
        thread.quit();
        thread.wait();
    }
    void offer() {
        ASSERT_TRUE(bus.registerObject(portalPath, portal,
                                       QDBusConnection::ExportAllSlots |
                                           QDBusConnection::ExportAllProperties));
        ASSERT_TRUE(bus.registerService(u"org.freedesktop.portal.Desktop"_s));
    }

    // A connection of its own, as the portal is another process.
    QDBusConnection bus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"stand-in portal"_s);
    QThread thread;
    StandInPortal* portal = nullptr;
};

} // namespace

TEST_F(PortalShortcutsTest, BoundTogetherRefusalsReportedPressesDelivered) {
    EXPECT_EQ(PortalShortcuts::connect(), nullptr) << "no portal yet";
    offer();
    const auto shortcuts = PortalShortcuts::connect();
    ASSERT_NE(shortcuts, nullptr);
    EXPECT_TRUE(shortcuts->isAvailable());
    QSignalSpy refused(shortcuts.get(), &PortalShortcuts::refused);
    QSignalSpy pressed(shortcuts.get(), &PortalShortcuts::pressed);
    portal->refusedIds = {u"screen"_s};

    EXPECT_TRUE(shortcuts->grab(1, Qt::Key_7, Qt::ControlModifier | Qt::ShiftModifier, u"region"_s,
                                u"Capture Region"_s));
    EXPECT_TRUE(shortcuts->grab(2, Qt::Key_9, Qt::ControlModifier | Qt::ShiftModifier, u"screen"_s,
                                u"Capture Screen"_s));
    EXPECT_TRUE(shortcuts->grab(3, Qt::Key_R, Qt::MetaModifier | Qt::AltModifier, u"replay"_s,
                                u"Save Replay"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !refused.isEmpty(); }, 5000));
    ASSERT_EQ(portal->binds().size(), 1) << "one session for all of them";
    const QList<PortalShortcut> asked = portal->binds().front();
    ASSERT_EQ(asked.size(), 3);
    EXPECT_EQ(asked[0].id, u"region"_s);
    EXPECT_EQ(asked[0].options.value(u"description"_s).toString(), u"Capture Region"_s);
    EXPECT_EQ(asked[0].options.value(u"preferred_trigger"_s).toString(), u"CTRL+SHIFT+7"_s);
    EXPECT_EQ(asked[2].options.value(u"preferred_trigger"_s).toString(), u"ALT+LOGO+r"_s);
    ASSERT_EQ(refused.size(), 1);
    EXPECT_EQ(refused[0][0].toUInt(), 2u);

    const QString session = portal->lastSession();
    portal->press(session, u"region"_s);
    portal->press(session, u"screen"_s); // not bound: nothing
    ASSERT_TRUE(pressed.wait(5000));
    QTest::qWait(50);
    ASSERT_EQ(pressed.size(), 1);
    EXPECT_EQ(pressed[0][0].toUInt(), 1u);

    // New keys: a new session under the same name (KDE keeps bindings by it).
    shortcuts->ungrab(1);
    shortcuts->ungrab(2);
    shortcuts->ungrab(3);
    EXPECT_TRUE(shortcuts->grab(4, Qt::Key_F5, Qt::NoModifier, u"region"_s, u"Capture Region"_s));
    ASSERT_TRUE(QTest::qWaitFor([&] { return portal->binds().size() == 2; }, 5000));
    const QList<PortalShortcut> second = portal->binds()[1];
    ASSERT_EQ(second.size(), 1);
    EXPECT_EQ(second[0].options.value(u"preferred_trigger"_s).toString(), u"F5"_s);
    EXPECT_EQ(portal->lastSession(), session);
    QTest::qWait(100);
    pressed.clear();
    portal->press(portal->lastSession(), u"region"_s);
    ASSERT_TRUE(pressed.wait(5000));
    QTest::qWait(50);
    ASSERT_EQ(pressed.size(), 1);
    EXPECT_EQ(pressed[0][0].toUInt(), 4u);
}

#include "PortalShortcutsTest.moc"
