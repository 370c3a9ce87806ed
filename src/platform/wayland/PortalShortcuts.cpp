#include "platform/wayland/PortalShortcuts.h"

#include "platform/LinuxBackends.h"
#include "platform/wayland/PortalRequest.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroSignal>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QKeySequence>
#include <QPointer>
#include <QTimer>

namespace shotlark::platform::wayland {

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.options;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.options;
    argument.endStructure();
    return argument;
}

namespace {

const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

} // namespace

std::unique_ptr<PortalShortcuts> PortalShortcuts::connect() {
    if (!offersPortal(shortcutsInterface))
        return nullptr;
    QDBusConnection bus = QDBusConnection::sessionBus();
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    std::unique_ptr<PortalShortcuts> shortcuts(new PortalShortcuts);
    bus.connect(portalService, portalPath, shortcutsInterface, QStringLiteral("Activated"),
                shortcuts.get(), SLOT(activated(QDBusMessage)));
    return shortcuts;
}

QString PortalShortcuts::trigger(int qtKey, Qt::KeyboardModifiers modifiers, bool shiftedSymbols) {
    // Keys by their XKB names: letters in lower case, digits and F-keys as they are; with
    // `shiftedSymbols` a shifted digit is the US layout's symbol over it, without the Shift.
    static const char* const symbols[] = {"parenright", "exclam",   "at",          "numbersign",
                                          "dollar",     "percent",  "asciicircum", "ampersand",
                                          "asterisk",   "parenleft"};
    const bool digit = qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9;
    QString key;
    if (digit && shiftedSymbols && (modifiers & Qt::ShiftModifier)) {
        key = QLatin1String(symbols[qtKey - Qt::Key_0]);
        modifiers &= ~Qt::ShiftModifier;
    } else if (digit) {
        key = QChar(QLatin1Char(char('0' + (qtKey - Qt::Key_0))));
    } else if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        key = QChar(QLatin1Char(char('a' + (qtKey - Qt::Key_A))));
    } else {
        key = QKeySequence(qtKey).toString(QKeySequence::PortableText);
    }
    QStringList parts;
    if (modifiers & Qt::ControlModifier)
        parts << QStringLiteral("CTRL");
    if (modifiers & Qt::AltModifier)
        parts << QStringLiteral("ALT");
    if (modifiers & Qt::ShiftModifier)
        parts << QStringLiteral("SHIFT");
    if (modifiers & Qt::MetaModifier)
        parts << QStringLiteral("LOGO");
    parts << key;
    return parts.join(QLatin1Char('+'));
}

bool PortalShortcuts::grab(quint32 id, int qtKey, Qt::KeyboardModifiers modifiers,
                           const QString& name, const QString& title) {
    static const bool kde = onDesktop(QStringLiteral("KDE"));
    wanted_.append({id, name.isEmpty() ? QStringLiteral("shortcut-%1").arg(id) : name,
                    title.isEmpty() ? name : title, trigger(qtKey, modifiers, kde)});
    scheduleBind();
    return true;
}

void PortalShortcuts::ungrab(quint32 id) {
    const qsizetype before = wanted_.size();
    wanted_.removeIf([id](const Wanted& wanted) { return wanted.id == id; });
    if (wanted_.size() != before)
        scheduleBind();
}

std::optional<int> PortalShortcuts::unmodifiedKey(const QKeyEvent& event) const {
    if (event.key() == 0 || event.key() == Qt::Key_unknown)
        return std::nullopt;
    return unshiftedUsKey(event.key());
}

void PortalShortcuts::scheduleBind() {
    if (std::exchange(scheduled_, true))
        return;
    QTimer::singleShot(0, this, [this] {
        scheduled_ = false;
        if (binding_)
            again_ = true;
        else
            bind();
    });
}

QCoro::Task<> PortalShortcuts::bind() {
    QPointer<PortalShortcuts> self(this);
    binding_ = true;
    do {
        again_ = false;
        const QList<Wanted> wanted = wanted_;
        if (!session_.isEmpty()) {
            QDBusConnection::sessionBus().call(
                QDBusMessage::createMethodCall(portalService, session_,
                                               QStringLiteral("org.freedesktop.portal.Session"),
                                               QStringLiteral("Close")),
                QDBus::NoBlock);
            session_.clear();
            bound_.clear();
        }
        if (wanted.isEmpty())
            continue;

        QList<PortalShortcut> shortcuts;
        for (const Wanted& one : wanted)
            shortcuts.append({one.name,
                              {{QStringLiteral("description"), one.title},
                               {QStringLiteral("preferred_trigger"), one.trigger}}});
        // The shortcuts go with the session as well: KDE Plasma 5.27 binds them from there and
        // opens its settings on BindShortcuts. The session's token is always the same: KDE keeps
        // the bindings (the user's changes too) under its name from one start to the next.
        const QString token = newRequestToken();
        auto creating = portalRequest(
            shortcutsInterface, QStringLiteral("CreateSession"),
            {QVariantMap{{QStringLiteral("handle_token"), token},
                         {QStringLiteral("session_handle_token"), QStringLiteral("shotlark")},
                         {QStringLiteral("shortcuts"), QVariant::fromValue(shortcuts)}}},
            token);
        const PortalAnswer creation = co_await std::move(creating);
        if (!self)
            co_return;
        const QString sessionPath = creation.sessionHandle();
        QStringList accepted;
        if (creation.code == 0 && !sessionPath.isEmpty()) {
            session_ = sessionPath;
            QList<PortalShortcut> answered;
            QVariant list = creation.results.value(QStringLiteral("shortcuts"));
            const bool boundAtCreation = list.isValid();
            if (!boundAtCreation) {
                const QString bindToken = newRequestToken();
                auto binding =
                    portalRequest(shortcutsInterface, QStringLiteral("BindShortcuts"),
                                  {QVariant::fromValue(QDBusObjectPath(sessionPath)),
                                   QVariant::fromValue(shortcuts), QString(),
                                   QVariantMap{{QStringLiteral("handle_token"), bindToken}}},
                                  bindToken);
                const PortalAnswer answer = co_await std::move(binding);
                if (!self)
                    co_return;
                if (answer.code == 0)
                    list = answer.results.value(QStringLiteral("shortcuts"));
            }
            if (list.canConvert<QDBusArgument>())
                qvariant_cast<QDBusArgument>(list) >> answered;
            for (const PortalShortcut& one : answered)
                accepted.append(one.id);
        }
        // A newer set waits: this one's answer no longer matters.
        if (again_)
            continue;
        for (const Wanted& one : wanted) {
            if (accepted.contains(one.name))
                bound_.insert(one.name, one.id);
            else
                Q_EMIT refused(one.id);
        }
    } while (again_);
    binding_ = false;
}

void PortalShortcuts::activated(const QDBusMessage& message) {
    // (o session, s shortcut, t timestamp, a{sv} options)
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || qvariant_cast<QDBusObjectPath>(arguments[0]).path() != session_)
        return;
    if (const auto found = bound_.constFind(arguments[1].toString()); found != bound_.cend())
        Q_EMIT pressed(found.value());
}

} // namespace shotlark::platform::wayland
