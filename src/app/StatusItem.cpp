#include "app/StatusItem.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>

namespace shotlark {

StatusItem::StatusItem(std::function<QList<MenuItem>()> model, std::function<void()> opening,
                       std::function<void()> activated)
    : model_(std::move(model)), opening_(std::move(opening)), activated_(std::move(activated)) {
    connect(&menu_, &QMenu::aboutToShow, this, [this] {
        opening_();
        rebuild();
    });
    tray_.setContextMenu(&menu_);
    tray_.setIcon(markIcon());
    tray_.setToolTip(toolTip_ = QStringLiteral("Shotlark"));
    // Left clicks open the same menu, as on a status bar. A Wayland client doesn't know where
    // the pointer is: a menu placed there would open as a window in the middle of the screen.
    connect(&tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger)
                    return;
                if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland")))
                    activated_();
                else
                    menu_.popup(QCursor::pos());
            });
    rebuild(); // so that the exported menu has its items before it is first opened
}

void StatusItem::show() {
    tray_.show();
}

void StatusItem::setStatus(const QString& title, const QString& toolTip, bool alert,
                           bool replaying) {
    if (toolTip != toolTip_)
        tray_.setToolTip(toolTip_ = toolTip);
    if (title == title_ && alert == alert_ && replaying == replaying_)
        return;
    title_ = title;
    alert_ = alert;
    replaying_ = replaying;
    tray_.setIcon(iconFor(title, alert, replaying));
}

void StatusItem::refreshTexts() {
    const QList<MenuItem> fresh = model_();
    const QList<QAction*> actions = menu_.actions();
    if (fresh.size() != actions.size())
        return; // another shape: the next opening shows it
    for (qsizetype i = 0; i < fresh.size(); ++i) {
        if (fresh[i].kind == MenuItem::Kind::Action && actions[i]->text() != fresh[i].widgetText())
            actions[i]->setText(fresh[i].widgetText());
    }
}

void StatusItem::rebuild() {
    shown_ = model_();
    render(menu_, shown_);
}

void StatusItem::render(QMenu& menu, const QList<MenuItem>& items) {
    menu.clear();
    for (const MenuItem& item : items) {
        switch (item.kind) {
        case MenuItem::Kind::Separator:
            menu.addSeparator();
            break;
        case MenuItem::Kind::Submenu: {
            QMenu* sub = menu.addMenu(item.widgetText());
            sub->setToolTipsVisible(true);
            sub->menuAction()->setToolTip(item.toolTip);
            render(*sub, item.children);
            break;
        }
        case MenuItem::Kind::Action: {
            QAction* action = menu.addAction(item.widgetText());
            action->setEnabled(item.enabled && item.trigger);
            action->setToolTip(item.toolTip);
            if (!item.keyHint.isEmpty())
                action->setShortcut(QKeySequence(item.keyHint));
            if (!item.iconName.isEmpty())
                action->setIcon(QIcon::fromTheme(item.iconName));
            if (item.trigger)
                QObject::connect(action, &QAction::triggered, action,
                                 [trigger = item.trigger] { trigger(); });
            break;
        }
        }
    }
}

namespace {
void paintMark(QPainter& painter, const QRectF& box) {
    // A lens inside a rounded frame: the app's mark, drawn so it needs no image files.
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1e, 0x88, 0xe5));
    painter.drawRoundedRect(box.adjusted(2, 8, -2, -4), 9, 9);
    painter.drawRoundedRect(QRectF(box.center().x() - 12, box.top() + 3, 24, 10), 3, 3);
    painter.setBrush(Qt::white);
    painter.drawEllipse(box.center() + QPointF(0, 2), 15, 15);
    painter.setBrush(QColor(0x1e, 0x88, 0xe5));
    painter.drawEllipse(box.center() + QPointF(0, 2), 9, 9);
}
} // namespace

QIcon StatusItem::markIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintMark(painter, QRectF(0, 0, 64, 64));
    return QIcon(pixmap);
}

QIcon StatusItem::iconFor(const QString& title, bool alert, bool replaying) const {
    if (title.trimmed().isEmpty() && !replaying)
        return markIcon();
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintMark(painter, QRectF(0, 0, 64, 64));
    if (replaying) {
        // The screen is being recorded in the background: a ring round the lens.
        painter.setPen(QPen(QColor(0xfb, 0x8c, 0x00), 5));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(32, 34), 19, 19);
    }
    painter.setPen(Qt::NoPen);
    const QString text = title.trimmed();
    if (alert) {
        painter.setBrush(QColor(0xe5, 0x39, 0x35));
        painter.drawEllipse(QPointF(50, 14), 12, 12);
    } else if (text.endsWith(QLatin1Char('%'))) {
        // The upload ring: the share sent so far, clockwise from the top.
        const int percent = text.chopped(1).toInt();
        painter.setBrush(QColor(0, 0, 0, 150));
        painter.drawEllipse(QPointF(32, 34), 24, 24);
        painter.setPen(QPen(QColor(0x7c, 0xfc, 0x8a), 6, Qt::SolidLine, Qt::FlatCap));
        painter.setBrush(Qt::NoBrush);
        painter.drawArc(QRectF(11, 13, 42, 42), 90 * 16, -percent * 360 * 16 / 100);
    }
    return QIcon(pixmap);
}

} // namespace shotlark
