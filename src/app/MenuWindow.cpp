#include "app/MenuWindow.h"

#include "app/StatusItem.h"

#include <QFrame>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace shotlark {

namespace {

// Long enough for a desktop's closing animation: the window must be gone from the screen
// before a capture freezes it.
constexpr int closeBeforeActionMs = 250;

QStringList signatureLines(const QList<MenuItem>& items, const QString& indent) {
    QStringList lines;
    for (const MenuItem& item : items) {
        lines.append(indent + QString::number(int(item.kind)) +
                     QLatin1Char(item.enabled ? '+' : '-') + item.title + QLatin1Char('\t') +
                     item.keyHint);
        lines += signatureLines(item.children, indent + QLatin1Char(' '));
    }
    return lines;
}

// A line of the menu: a flat button, its text at the left as in a menu.
QPushButton* lineButton(const MenuItem& item) {
    auto* button = new QPushButton(item.widgetText());
    button->setStyleSheet(QStringLiteral("text-align: left; padding: 4px 8px;"));
    button->setFlat(true);
    button->setToolTip(item.toolTip);
    return button;
}

} // namespace

MenuWindow::MenuWindow(std::function<QList<MenuItem>()> model) : model_(std::move(model)) {
    setWindowTitle(QStringLiteral("Shotlark"));
    setWindowIcon(StatusItem::markIcon());
    layout_ = new QVBoxLayout(this);
    layout_->setSizeConstraint(QLayout::SetFixedSize);
    refresh_.setInterval(1000); // the recording's duration, uploads in progress
    connect(&refresh_, &QTimer::timeout, this, &MenuWindow::rebuild);
}

QString MenuWindow::hintText() {
    QStringList others = hotkeys::rawValues();
    others.removeOne(QStringLiteral("region"));
    return QStringLiteral("<b>Your desktop shows no tray icons.</b> To have Shotlark's icon and "
                          "menu in the top "
                          "bar, install and turn on the AppIndicator extension (package "
                          "<i>gnome-shell-extension-appindicator</i>, then Extensions). Until "
                          "then, open Shotlark "
                          "again to see this menu.<br><br>"
                          "<b>Hotkeys:</b> in Settings \u2192 Keyboard \u2192 Keyboard Shortcuts "
                          "\u2192 Custom "
                          "Shortcuts, add a shortcut whose command is <i>shotlark --action "
                          "region</i> (or %1).")
        .arg(others.join(QStringLiteral(", ")));
}

void MenuWindow::present(bool hint) {
    if (!hint && hint_) { // said once is enough
        delete hint_;
        hint_ = nullptr;
    }
    if (hint && !hint_) {
        auto* label = new QLabel(hintText());
        label->setWordWrap(true);
        label->setTextFormat(Qt::RichText);
        label->setFixedWidth(360);
        label->setContentsMargins(4, 4, 4, 8);
        hint_ = label;
        layout_->insertWidget(0, hint_);
    }
    signature_.clear(); // build anew, before it is shown: it opens at its final size
    rebuild();
    show();
    raise();
    activateWindow();
}

void MenuWindow::showEvent(QShowEvent* event) {
    rebuild();
    refresh_.start();
    QWidget::showEvent(event);
}

void MenuWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) // as a menu closes
        hide();
    else
        QWidget::keyPressEvent(event);
}

void MenuWindow::hideEvent(QHideEvent* event) {
    refresh_.stop();
    QWidget::hideEvent(event);
}

QStringList MenuWindow::signatureOf(const QList<MenuItem>& items) {
    return signatureLines(items, QString());
}

void MenuWindow::clearItems() {
    if (!items_)
        return;
    layout_->removeWidget(items_);
    items_->deleteLater();
    items_ = nullptr;
}

void MenuWindow::rebuild() {
    QList<MenuItem> items = model_();
    const QStringList signature = signatureOf(items);
    if (signature == signature_ && items_)
        return;
    signature_ = signature;
    shown_ = std::move(items); // its closures serve the buttons until the next rebuild
    clearItems();
    items_ = new QWidget;
    auto* grid = new QGridLayout(items_);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(2);
    int row = 0;
    for (const MenuItem& item : std::as_const(shown_)) {
        switch (item.kind) {
        case MenuItem::Kind::Separator: {
            auto* line = new QFrame;
            line->setFrameShape(QFrame::HLine);
            line->setFrameShadow(QFrame::Sunken);
            grid->addWidget(line, row++, 0, 1, 2);
            break;
        }
        case MenuItem::Kind::Submenu: {
            QPushButton* button = lineButton(item);
            auto* menu = new QMenu(button);
            StatusItem::render(*menu, item.children);
            button->setMenu(menu);
            grid->addWidget(button, row++, 0, 1, 2);
            break;
        }
        case MenuItem::Kind::Action: {
            // A line that can't be chosen is a heading (the server, a state).
            if (!item.trigger && !item.enabled && row == 0) {
                auto* heading = new QLabel(item.title);
                QFont bold = heading->font();
                bold.setBold(true);
                heading->setFont(bold);
                heading->setContentsMargins(8, 4, 8, 4);
                grid->addWidget(heading, row++, 0, 1, 2);
                break;
            }
            QPushButton* button = lineButton(item);
            button->setEnabled(item.enabled && item.trigger);
            if (!item.iconName.isEmpty())
                button->setIcon(QIcon::fromTheme(item.iconName));
            connect(button, &QPushButton::clicked, this, [this, trigger = item.trigger] {
                hide();
                QTimer::singleShot(closeBeforeActionMs, this, [trigger] { trigger(); });
            });
            grid->addWidget(button, row, 0);
            if (!item.keyHint.isEmpty()) {
                auto* keys =
                    new QLabel(QKeySequence(item.keyHint).toString(QKeySequence::NativeText));
                keys->setEnabled(false);
                keys->setContentsMargins(12, 0, 8, 0);
                grid->addWidget(keys, row, 1, Qt::AlignRight);
            }
            ++row;
            break;
        }
        }
    }
    layout_->addWidget(items_);
}

} // namespace shotlark
