#pragma once

#include "platform/Services.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QHash>
#include <QList>
#include <QVariantMap>

namespace shotlark::platform::wayland {

// One shortcut as the GlobalShortcuts portal passes it: (sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap options; // "description", "preferred_trigger"; answers: "trigger_description"
};
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);

// Global shortcuts through xdg-desktop-portal's GlobalShortcuts, where the desktop offers it
// (KDE Plasma; GNOME from 48). The desktop binds them itself, perhaps after asking the user:
// grabs are gathered and bound together in one session on the next turn of the event loop,
// and the ones the desktop did not bind are reported through refused(). Rebinding means a new
// session, as the portal can't unbind single shortcuts.
class PortalShortcuts : public GlobalHotkeys {
    Q_OBJECT
public:
    // Null when the session bus has no GlobalShortcuts portal.
    static std::unique_ptr<PortalShortcuts> connect();

    bool isAvailable() const override { return true; }
    bool grab(quint32 id, int qtKey, Qt::KeyboardModifiers modifiers, const QString& name,
              const QString& title) override;
    void ungrab(quint32 id) override;
    std::optional<int> unmodifiedKey(const QKeyEvent& event) const override;

    // The trigger a shortcut is proposed with, in the portal's terms ("CTRL+SHIFT+7"). KDE
    // Plasma matches a shifted digit by the symbol Shift makes of it (US layout: "CTRL+ampersand").
    static QString trigger(int qtKey, Qt::KeyboardModifiers modifiers, bool shiftedSymbols = false);

private Q_SLOTS:
    void activated(const QDBusMessage& message);

private:
    PortalShortcuts() = default;
    void scheduleBind();
    QCoro::Task<> bind();

    struct Wanted {
        quint32 id;
        QString name;
        QString title;
        QString trigger;
    };
    QList<Wanted> wanted_;
    QString session_;               // the current session's object path; empty: none
    QHash<QString, quint32> bound_; // the desktop's bound shortcuts: name -> grab
    bool scheduled_ = false;
    bool binding_ = false;
    bool again_ = false;
};

} // namespace shotlark::platform::wayland

Q_DECLARE_METATYPE(shotlark::platform::wayland::PortalShortcut)
