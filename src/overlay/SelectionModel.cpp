#include "overlay/SelectionModel.h"

#include <algorithm>
#include <cmath>

namespace shotlark::overlay {

QRect SelectionModel::span(QPoint a, QPoint b) {
    return QRect(QPoint(std::min(a.x(), b.x()), std::min(a.y(), b.y())),
                 QSize(std::abs(b.x() - a.x()), std::abs(b.y() - a.y())));
}

void SelectionModel::press(QPoint at) {
    start_ = at;
    current_ = at;
}

void SelectionModel::move(QPoint at) {
    if (start_)
        current_ = at; // not clamped: the release decides
}

std::optional<QRect> SelectionModel::dragged() const {
    if (!start_ || !current_)
        return std::nullopt;
    const QRect rect = span(*start_, *current_);
    if (rect.width() <= 0 || rect.height() <= 0)
        return std::nullopt;
    return rect;
}

std::optional<Outcome> SelectionModel::release(QPoint at) {
    current_ = at;
    if (!start_)
        return std::nullopt;
    const QRect rect = span(*std::exchange(start_, std::nullopt), at);
    current_.reset();
    if (rect.width() >= rules_.minimumDrag && rect.height() >= rules_.minimumDrag)
        return Outcome{Outcome::Kind::Area, rect};
    if (rules_.clickTakesScreen)
        return Outcome{Outcome::Kind::WholeScreen, QRect(QPoint(0, 0), view_)};
    return Outcome{Outcome::Kind::Cancelled, QRect()};
}

QString SelectionModel::sizeLabel(QSize logical, qreal ratio) {
    return QStringLiteral("%1 \u00d7 %2")
        .arg(static_cast<qint64>(logical.width() * ratio))
        .arg(static_cast<qint64>(logical.height() * ratio));
}

QPoint SelectionModel::labelCenter(const QRect& rect, int height) {
    const int below = rect.y() + rect.height() + 18;
    return QPoint(rect.x() + rect.width() / 2, std::min(below, height - 14));
}

} // namespace shotlark::overlay
