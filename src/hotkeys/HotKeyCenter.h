#pragma once

#include "base/CurrentInstance.h"
#include "platform/Services.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <functional>

namespace shotlark {

// Registers system-wide shortcuts and runs their handlers on the main thread.
class HotKeyCenter : public QObject, public CurrentInstance<HotKeyCenter> {
public:
    explicit HotKeyCenter(platform::GlobalHotkeys& backend);
    ~HotKeyCenter() override;

    // Shortcut in stored terms (virtual key code, Carbon mask). False when refused, which means
    // another application owns the combination. Every attempt takes a new identifier. A desktop
    // that binds shortcuts itself may refuse one later: then `refused` runs and it is dropped.
    bool registerHotKey(quint32 keyCode, quint32 modifiers, std::function<void()> handler,
                        const QString& name = {}, const QString& title = {},
                        std::function<void()> refused = {});
    void unregisterAll();

    bool isAvailable() const { return backend_.isAvailable(); }
    quint32 nextID() const { return nextID_; }
    qsizetype registeredCount() const { return refs_.size(); }
    platform::GlobalHotkeys& backend() const { return backend_; }

private:
    void pressed(quint32 id);
    void refused(quint32 id);

    platform::GlobalHotkeys& backend_;
    QHash<quint32, std::function<void()>> handlers_;
    QHash<quint32, std::function<void()>> refusals_;
    QList<quint32> refs_;
    quint32 nextID_ = 1;
};

} // namespace shotlark
