#pragma once

#include "app/MenuModel.h"

#include <QTimer>
#include <QWidget>

#include <functional>

class QVBoxLayout;

namespace shotlark {

// The tray menu as a small window, for desktops that show no tray icons (stock GNOME) and for
// a left click on a Wayland tray icon: the same items, rebuilt from the model while it is shown.
// A chosen action closes the window first, so that a capture doesn't show it.
class MenuWindow : public QWidget {
public:
    explicit MenuWindow(std::function<QList<MenuItem>()> model);

    // Shows it in front; with `hint`, it begins with how to get a tray icon and hotkeys.
    void present(bool hint);
    bool showsHint() const { return hint_ != nullptr; }

    static QString hintText();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void rebuild();
    void clearItems();
    // The lines as shown: a rebuild only when they changed.
    static QStringList signatureOf(const QList<MenuItem>& items);

    std::function<QList<MenuItem>()> model_;
    QList<MenuItem> shown_;
    QStringList signature_;
    QVBoxLayout* layout_ = nullptr;
    QWidget* items_ = nullptr;
    QWidget* hint_ = nullptr;
    QTimer refresh_;
};

} // namespace shotlark
