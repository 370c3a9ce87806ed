#pragma once

#include "app/MenuModel.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

namespace shotlark {

// The tray icon. Trays show no text beside the icon, so the title is drawn into the icon (an
// upload ring with its percentage, or a red recording dot) and said in the tooltip; a running
// replay buffer adds an orange ring. The menu is rebuilt from the model every time it is about
// to open, and its texts follow the model while it is open (a recording's time).
class StatusItem : public QObject {
public:
    // `model` builds the menu; `opening` runs each time the menu is about to open, before it;
    // `activated` is a left click where no menu can be placed at the pointer (Wayland).
    StatusItem(std::function<QList<MenuItem>()> model, std::function<void()> opening,
               std::function<void()> activated);

    void show();
    void setStatus(const QString& title, const QString& toolTip, bool alert, bool replaying);
    // The texts of the shown menu's own entries, from the model again.
    void refreshTexts();
    const QString& title() const { return title_; }
    QMenu* menu() { return &menu_; }

    static QIcon markIcon();
    // `items` as the entries of `menu`, which it replaces.
    static void render(QMenu& menu, const QList<MenuItem>& items);

private:
    void rebuild();
    QIcon iconFor(const QString& title, bool alert, bool replaying) const;

    std::function<QList<MenuItem>()> model_;
    std::function<void()> opening_;
    std::function<void()> activated_;
    QMenu menu_;
    QSystemTrayIcon tray_;
    QString title_, toolTip_;
    bool alert_ = false, replaying_ = false;
    // The last model shown: its closures serve the menu's actions until the next opening.
    QList<MenuItem> shown_;
};

} // namespace shotlark
